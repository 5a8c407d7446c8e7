#include "platform/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace platform::ini {
namespace {

class IniTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/klaxora-ini-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/test.ini";
    }
    void TearDown() override {
        ::chmod(dir_.c_str(), 0700);
        std::filesystem::remove_all(dir_);
    }

    // Replaces the file; nullopt removes it.
    void Put(const std::optional<std::string>& bytes) const {
        std::filesystem::remove(path_);
        if (bytes) std::ofstream(path_, std::ios::binary) << *bytes;
    }
    std::optional<std::string> Contents() const {
        std::ifstream in(path_, std::ios::binary);
        if (!in) return std::nullopt;
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    std::string path_;
};

// One file that exercises most reading rules at once; the cases below pick from it.
const std::string kConfig =
    "top=before any section\n"
    "[Alarm]\n"
    "  Port = 4000  \n"
    "Name=\"  quoted  \"\n"
    "Single='x'\n"
    "Mixed=\"x'\n"
    "Empty=\n"
    "Inner=a=b\n"
    "; Hidden=comment\n"
    "  # Also=comment\n"
    "no equals sign\n"
    "Port=5000\n"
    "\tTabbed\t=\tv\t\n"
    "[ general ]\n"
    "Port=1\n"
    "[ALARM]\n"
    "Extra=only in the duplicate\n"
    "[Swedish]\n"
    "Plats=Gävle\n"
    "Åtgärd=Larm\n"
    "[Last]\r\n"
    "Crlf=yes\r\n"
    "NoEnd=last";

TEST_F(IniTest, ReadString) {
    struct Case {
        const char* name;
        std::optional<std::string> file;
        std::string section, key, expected;
    };
    const Case cases[] = {
        {"trimmed, first key wins", kConfig, "Alarm", "Port", "4000"},
        {"names ignore case", kConfig, "aLARM", "port", "4000"},
        {"double quotes stripped, inside kept", kConfig, "Alarm", "Name", "  quoted  "},
        {"single quotes stripped", kConfig, "Alarm", "Single", "x"},
        {"unmatched quotes kept", kConfig, "Alarm", "Mixed", "\"x'"},
        {"empty value exists", kConfig, "Alarm", "Empty", ""},
        {"split at the first '='", kConfig, "Alarm", "Inner", "a=b"},
        {"';' comment", kConfig, "Alarm", "; Hidden", "DEF"},
        {"'#' comment", kConfig, "Alarm", "# Also", "DEF"},
        {"line without '='", kConfig, "Alarm", "no equals sign", "DEF"},
        {"tabs trimmed", kConfig, "Alarm", "Tabbed", "v"},
        {"header name trimmed, General is ordinary", kConfig, "General", "Port", "1"},
        {"only the first duplicate section", kConfig, "Alarm", "Extra", "DEF"},
        {"lines before a header are in no section", kConfig, "", "top", "DEF"},
        {"missing section", kConfig, "Nope", "Port", "DEF"},
        {"missing key", kConfig, "Alarm", "Nope", "DEF"},
        {"UTF-8 file read as ANSI", kConfig, "Swedish", "Plats", "G\xE4vle"},
        {"Swedish names ignore case", kConfig, "SWEDISH", "\xC5TG\xC4RD", "Larm"},
        {"CR LF", kConfig, "Last", "Crlf", "yes"},
        {"last line without ending", kConfig, "Last", "NoEnd", "last"},
        {"missing file", std::nullopt, "Alarm", "Port", "DEF"},
        {"BOM skipped", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", "v"},
        {"Windows-1252 file taken as is", "[A]\nk=G\xE4vle \x80\n", "a", "K", "G\xE4vle \x80"},
        {"header comment not in the name", "[A] ; note\nk=v\n", "A", "k", "v"},
    };
    for (const Case& c : cases) {
        Put(c.file);
        EXPECT_EQ(ReadString(path_, c.section, c.key, "DEF"), c.expected) << c.name;
    }
}

TEST_F(IniTest, ReadInt) {
    struct Case {
        std::string value;
        int expected;
    };
    const Case cases[] = {
        {"42", 42},
        {"+7", 7},
        {"-13", -13},
        {"  12  ", 12},
        {"\"5\"", 5},
        {"12abc", 12},
        {"1 2", 1},
        {"0x10", 0},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const Case& c : cases) {
        Put("[S]\nK=" + c.value + "\n");
        EXPECT_EQ(ReadInt(path_, "s", "k", -5), c.expected) << '"' << c.value << '"';
    }
    EXPECT_EQ(ReadInt(path_, "S", "Other", -5), -5);
    Put(std::nullopt);
    EXPECT_EQ(ReadInt(path_, "S", "K", -5), -5);
}

TEST_F(IniTest, Names) {
    Put(kConfig);
    EXPECT_EQ(SectionNames(path_),
              (std::vector<std::string>{"Alarm", "general", "ALARM", "Swedish", "Last"}));
    EXPECT_EQ(KeyNames(path_, "alarm"), (std::vector<std::string>{"Port", "Name", "Single", "Mixed",
                                                                  "Empty", "Inner", "Tabbed"}));
    EXPECT_EQ(KeyNames(path_, "swedish"), (std::vector<std::string>{"Plats", "\xC5tg\xE4rd"}));
    EXPECT_TRUE(KeyNames(path_, "Nope").empty());
    Put(std::nullopt);
    EXPECT_TRUE(SectionNames(path_).empty());
    EXPECT_TRUE(KeyNames(path_, "Alarm").empty());
}

TEST_F(IniTest, Edits) {
    using Op = std::function<bool(const std::string&)>;
    auto write = [](std::string s, std::string k, std::string v) -> Op {
        return [=](const std::string& p) { return WriteString(p, s, k, v); };
    };
    auto deleteKey = [](std::string s, std::string k) -> Op {
        return [=](const std::string& p) { return DeleteKey(p, s, k); };
    };
    auto deleteSection = [](std::string s) -> Op {
        return [=](const std::string& p) { return DeleteSection(p, s); };
    };
    struct Case {
        const char* name;
        std::optional<std::string> before;
        Op op;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"replace keeps every other byte and the key's spelling",
         "; head\r\n[A]\r\n  key = old ; c\r\nother=1\n\n# tail", write("a", "KEY", "new"),
         "; head\r\n[A]\r\nkey=new\r\nother=1\n\n# tail"},
        {"new key after the section's last non-blank line", "[A]\nx=1\n\n[B]\ny=2\n",
         write("a", "z", "3"), "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
        {"commented-out key is not the key", "[A]\n;x=1\n", write("A", "x", "2"),
         "[A]\n;x=1\nx=2\n"},
        {"last line without ending", "[A]", write("A", "k", "v"), "[A]\nk=v\n"},
        {"missing section appended after a blank line", "[A]\nx=1\n", write("B", "k", "v"),
         "[A]\nx=1\n\n[B]\nk=v\n"},
        {"no second blank line", "[A]\nx=1\n\n", write("B", "k", "v"), "[A]\nx=1\n\n[B]\nk=v\n"},
        {"new lines use the file's ending", "[A]\r\nx=1\r\n", write("B", "k", "v"),
         "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n"},
        {"missing file created", std::nullopt, write("A", "k", "v"), "[A]\nk=v\n"},
        {"first duplicate section replaced", "[A]\nx=1\n[a]\nx=2\n", write("A", "x", "9"),
         "[A]\nx=9\n[a]\nx=2\n"},
        {"first duplicate section extended", "[A]\nx=1\n[a]\nx=2\n", write("A", "y", "1"),
         "[A]\nx=1\ny=1\n[a]\nx=2\n"},
        {"ANSI value written as UTF-8", std::nullopt, write("\xC5", "Plats", "G\xE4vle \x80"),
         "[Å]\nPlats=Gävle €\n"},
        {"Windows-1252 file becomes UTF-8 throughout", "[A]\nort=G\xE4vle\n", write("A", "k", "v"),
         "[A]\nort=Gävle\nk=v\n"},
        {"BOM kept", "\xEF\xBB\xBF[A]\nk=1\n", write("A", "k", "2"), "\xEF\xBB\xBF[A]\nk=2\n"},
        {"value with blanks quoted to read back", std::nullopt, write("A", "k", " x "),
         "[A]\nk=\" x \"\n"},
        {"quoted value quoted again", std::nullopt, write("A", "k", "'x'"), "[A]\nk=\"'x'\"\n"},
        {"delete the first key only", "[A]\nx=1\ny=2\nx=3\n[B]\nx=4\n", deleteKey("a", "X"),
         "[A]\ny=2\nx=3\n[B]\nx=4\n"},
        {"delete a missing key", "[A]\nx=1\n", deleteKey("A", "y"), "[A]\nx=1\n"},
        {"delete a key from a missing file", std::nullopt, deleteKey("A", "x"), std::nullopt},
        {"delete the first section only", "; top\n[A]\nx=1\n\n[B]\ny=2\n[a]\nz=3\n",
         deleteSection("a"), "; top\n[B]\ny=2\n[a]\nz=3\n"},
        {"delete a missing section", "[A]\nx=1\n", deleteSection("B"), "[A]\nx=1\n"},
        {"delete a section from a missing file", std::nullopt, deleteSection("A"), std::nullopt},
    };
    for (const Case& c : cases) {
        Put(c.before);
        EXPECT_TRUE(c.op(path_)) << c.name;
        EXPECT_EQ(Contents(), c.after) << c.name;
        // The temporary file was renamed into place, not left behind.
        EXPECT_EQ(Entries(),
                  c.after ? std::vector<std::string>{"test.ini"} : std::vector<std::string>{})
            << c.name;
    }
}

TEST_F(IniTest, WrittenValuesReadBack) {
    for (const std::string value : {"", "plain", "  padded  ", "\"q\"", "'q'", "a=b", "\xE5\x80"}) {
        ASSERT_TRUE(WriteString(path_, "S", "K", value));
        EXPECT_EQ(ReadString(path_, "S", "K", "DEF"), value);
    }
}

TEST_F(IniTest, RewriteKeepsPermissionsAndFollowsLinks) {
    const std::string target = dir_ + "/real.ini";
    std::ofstream(target) << "[A]\nx=1\n";
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.ini", path_.c_str()), 0);

    ASSERT_TRUE(WriteString(path_, "A", "x", "2"));
    EXPECT_TRUE(std::filesystem::is_symlink(path_));
    EXPECT_EQ(Contents(), "[A]\nx=2\n");
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(IniTest, FailedWriteLeavesTheOriginal) {
    const std::string original = "[A]\nx=1\n";
    Put(original);
    // Something in the way of the temporary file makes the write fail for any user.
    const std::string blocker = path_ + ".tmp-" + std::to_string(::getpid());
    ASSERT_TRUE(std::filesystem::create_directory(blocker));
    EXPECT_FALSE(WriteString(path_, "A", "x", "2"));
    EXPECT_FALSE(DeleteKey(path_, "A", "x"));
    EXPECT_FALSE(DeleteSection(path_, "A"));
    EXPECT_EQ(Contents(), original);
    std::filesystem::remove(blocker);

    // Texts that cannot be one line of the file are refused rather than written.
    EXPECT_FALSE(WriteString(path_, "A", "x", "two\nlines"));
    EXPECT_FALSE(WriteString(path_, "A", "k=y", "v"));
    EXPECT_FALSE(WriteString(path_, "A]", "k", "v"));
    EXPECT_FALSE(WriteString(path_, "A", "", "v"));
    EXPECT_EQ(Contents(), original);
    EXPECT_EQ(Entries(), std::vector<std::string>{"test.ini"});
}

TEST_F(IniTest, UnwritableFolderLeavesTheOriginal) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const std::string original = "[A]\nx=1\n";
    Put(original);
    ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);
    EXPECT_FALSE(WriteString(path_, "A", "x", "2"));
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
    EXPECT_EQ(Contents(), original);
    EXPECT_EQ(Entries(), std::vector<std::string>{"test.ini"});

    // A file made read-only is not replaced either, though the folder would allow it.
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    EXPECT_FALSE(WriteString(path_, "A", "x", "2"));
    EXPECT_EQ(Contents(), original);
}

}  // namespace
}  // namespace platform::ini
