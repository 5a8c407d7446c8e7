#include "platform/console.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<int> KeysOf(const std::string& bytes, bool closeWriter) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    EXPECT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (closeWriter) ::close(fds[1]);
    std::vector<int> keys;
    {
        platform::console::ConsoleKeys console(fds[0]);
        for (int key; (key = console.PollKey()) != platform::console::kNoKey;) keys.push_back(key);
    }
    ::close(fds[0]);
    if (!closeWriter) ::close(fds[1]);
    return keys;
}

TEST(ConsoleKeys, EscapeSequencesAreNotTheEscKey) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<int> keys;
    };
    const Case cases[] = {
        {"lone Esc", "\x1b", {27}},
        {"letters", "aI", {'a', 'I'}},
        {"arrow up", "\x1b[A", {}},
        {"F1 (SS3)", "\x1bOP", {}},
        {"F5 with parameters", "\x1b[15~", {}},
        {"arrow then Esc", "\x1b[B\x1b", {27}},
        {"key, sequence, key", "i\x1b[1;5Ca", {'i', 'a'}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KeysOf(c.bytes, false), c.keys) << c.what;
    }
}

TEST(ConsoleKeys, ClosedInputGivesNoKeysAndDoesNotSpin) {
    EXPECT_EQ(KeysOf("a", true), std::vector<int>{'a'});
    EXPECT_TRUE(KeysOf("", true).empty());
}

}  // namespace
