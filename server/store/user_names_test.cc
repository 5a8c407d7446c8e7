// "UserNames.dat": names keep their numbers for good, whatever the file went through.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/log.h"
#include "server/store/user_names.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::UserNameStore;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Bytes = std::string;

constexpr size_t kHeader = 1024;
constexpr size_t kRecord = 256;

void PutLe(Bytes& b, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) b[offset + i] = static_cast<char>(value >> (8 * i));
}

Bytes Header(uint32_t version, uint32_t count) {
    Bytes h(kHeader, '\0');
    PutLe(h, 0, version);
    PutLe(h, 4, count);
    return h;
}

Bytes NameRecord(const std::string& name) {
    Bytes r(kRecord, '\0');
    r.replace(0, name.size(), name);
    return r;
}

Bytes NameRecords(const std::vector<std::string>& names) {
    Bytes all;
    for (const std::string& name : names) all += NameRecord(name);
    return all;
}

class UserNames : public ::testing::Test {
protected:
    UserNames() {
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
    }
    ~UserNames() override { heraldon::TheLog().Configure("", 0, false); }

    std::string Path() const { return temp_ / "UserNames.dat"; }
    std::string LogText() const { return testing_support::LogFolderText(temp_ / "logs"); }
    // Starts the log afresh; configuring it again lets go of the file it holds open.
    void ClearLog() {
        heraldon::TheLog().Flush();
        std::filesystem::remove_all(temp_ / "logs");
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
    }
    // The names a fresh store reads from the file.
    std::vector<std::string> NamesOnDisk() {
        UserNameStore reread;
        reread.Load(Path());
        std::vector<std::string> names;
        for (size_t i = 0; i < reread.Count(); ++i) names.push_back(reread.UserNameAt(static_cast<int>(i)));
        return names;
    }

    TempFolder temp_;
};

TEST_F(UserNames, AMissingFileIsCreatedEmptyAtLoad) {
    UserNameStore store;
    store.Load(Path());
    Bytes file = ReadFile(Path());
    EXPECT_EQ(file, Header(0x3001, 0));
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_NE(LogText().find("Read 0 User Names"), std::string::npos) << LogText();
}

TEST_F(UserNames, EachNameIsStoredOnceAndKeepsItsNumber) {
    UserNameStore store;
    store.Load(Path());
    EXPECT_EQ(store.GetUserNameIndex(nullptr), -1);
    EXPECT_EQ(store.GetUserNameIndex(""), -1);
    EXPECT_EQ(store.GetUserNameIndex("anna"), 0);
    EXPECT_EQ(store.GetUserNameIndex("bert"), 1);
    EXPECT_EQ(store.GetUserNameIndex("anna"), 0);
    EXPECT_EQ(store.GetUserNameIndex("Anna"), 2) << "names compare with case";
    EXPECT_EQ(store.UserNameAt(1), "bert");
    EXPECT_EQ(store.UserNameAt(-1), "");
    EXPECT_EQ(store.UserNameAt(3), "");

    EXPECT_EQ(ReadFile(Path()), Header(0x3001, 3) + NameRecords({"anna", "bert", "Anna"}));
    EXPECT_NE(LogText().find("Appended new User Name 'Anna' to UserNames.dat"), std::string::npos);
    EXPECT_EQ(NamesOnDisk(), (std::vector<std::string>{"anna", "bert", "Anna"}));

    // A later run finds the old numbers and goes on after them.
    UserNameStore later;
    later.Load(Path());
    EXPECT_EQ(later.GetUserNameIndex("bert"), 1);
    EXPECT_EQ(later.GetUserNameIndex("carl"), 3);
}

TEST_F(UserNames, ANameFillsAtMost255Characters) {
    UserNameStore store;
    store.Load(Path());
    const std::string longest(255, 'x');
    EXPECT_EQ(store.GetUserNameIndex(longest.c_str()), 0);
    const Bytes before = ReadFile(Path());
    EXPECT_EQ(before, Header(0x3001, 1) + NameRecord(longest));

    const std::string tooLong(256, 'y');
    EXPECT_EQ(store.GetUserNameIndex(tooLong.c_str()), -1);
    EXPECT_EQ(store.Count(), 1u);
    EXPECT_EQ(ReadFile(Path()), before);
    EXPECT_EQ(NamesOnDisk(), std::vector<std::string>{longest});
}

struct Damage {
    const char* what;
    Bytes file;
    std::vector<std::string> kept;
    std::vector<const char*> logged;  // none: nothing but the count may be logged
};

TEST_F(UserNames, DamagedFilesKeepEveryWholeNameOrAreRecreated) {
    const std::vector<std::string> two = {"anna", "bert"};
    const std::vector<std::string> three = {"anna", "bert", "carl"};
    const Damage cases[] = {
        {"shorter than a header", Bytes(1023, 'x'), {}, {}},
        {"newer version", Header(0x3002, 2) + NameRecords(two), {},
         {"UserNames.dat has version 0x3002 but we can only handle version 0x3001. The file will be "
          "recreated."}},
        {"older version", Header(0x3000, 2) + NameRecords(two), {},
         {"UserNames.dat has version 0x3000, it will be updated to version 0x3001.\r\n",
          "Unknown file version, file will be recreated"}},
        {"count beyond the names", Header(0x3001, 3) + NameRecords(two), two,
         {"UserNames.dat has a length of 1536 bytes but was expected to be 1792 bytes long. The file "
          "was repaired and keeps its 2 whole names."}},
        {"crash between record and header", Header(0x3001, 2) + NameRecords(three), three,
         {"UserNames.dat has a length of 1792 bytes but was expected to be 1536 bytes long. The file "
          "was repaired and keeps its 3 whole names."}},
        {"a part of a record at the end", Header(0x3001, 2) + NameRecords(two) + Bytes(100, 'z'), two,
         {"keeps its 2 whole names."}},
        {"negative count", Header(0x3001, 0xFFFFFFFF) + NameRecords(two), two, {"keeps its 2 whole names."}},
    };
    for (const Damage& c : cases) {
        ClearLog();
        WriteFile(Path(), c.file);
        UserNameStore store;
        store.Load(Path());
        ASSERT_EQ(store.Count(), c.kept.size()) << c.what;
        for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(store.UserNameAt(static_cast<int>(i)), c.kept[i]) << c.what;
        Bytes after = ReadFile(Path());
        EXPECT_EQ(after, Header(0x3001, static_cast<uint32_t>(c.kept.size())) + NameRecords(c.kept)) << c.what;

        std::string log = LogText();
        char count[32];
        std::snprintf(count, sizeof count, "Read %zu User Names", c.kept.size());
        EXPECT_NE(log.find(count), std::string::npos) << c.what << "\n" << log;
        if (c.logged.empty()) {
            EXPECT_EQ(log.find("File "), std::string::npos) << c.what << "\n" << log;
        }
        for (const char* line : c.logged) EXPECT_NE(log.find(line), std::string::npos) << c.what << "\n" << log;
        // The next name goes after the kept ones, never over them.
        EXPECT_EQ(store.GetUserNameIndex("new"), static_cast<int>(c.kept.size())) << c.what;
    }
}

// A file that exists but could not be opened at load must not be overwritten from the
// empty list by the first append.
class UnreadableAtLoad : public UserNames {
protected:
    std::string Late() const { return temp_ / "late/UserNames.dat"; }
    void LoadThenMakeTheFileAppear(UserNameStore& store) {
        store.Load(Late());
        EXPECT_EQ(store.Count(), 0u);
        std::filesystem::create_directories(temp_ / "late");
        WriteFile(Late(), Header(0x3001, 2) + NameRecords({"anna", "bert"}));
    }
};

TEST_F(UnreadableAtLoad, ANewNameGoesAfterTheNamesInTheFile) {
    UserNameStore store;
    LoadThenMakeTheFileAppear(store);
    EXPECT_EQ(store.GetUserNameIndex("new"), 2);
    EXPECT_EQ(store.UserNameAt(0), "anna");
    EXPECT_EQ(store.UserNameAt(1), "bert");
    EXPECT_EQ(ReadFile(Late()), Header(0x3001, 3) + NameRecords({"anna", "bert", "new"}));
}

TEST_F(UnreadableAtLoad, ANameAlreadyInTheFileKeepsItsNumber) {
    UserNameStore store;
    LoadThenMakeTheFileAppear(store);
    EXPECT_EQ(store.GetUserNameIndex("bert"), 1);
    EXPECT_EQ(store.Count(), 2u);
    EXPECT_EQ(ReadFile(Late()), Header(0x3001, 2) + NameRecords({"anna", "bert"}));
}

TEST_F(UserNames, TheStoreStopsAtTheLargestNumberARecordCanHold) {
    Bytes file = Header(0x3001, 32767);
    file.reserve(kHeader + 32767 * kRecord);
    for (int i = 0; i < 32767; ++i) file += NameRecord("n" + std::to_string(i));
    WriteFile(Path(), file);

    UserNameStore store;
    store.Load(Path());
    ASSERT_EQ(store.Count(), 32767u);
    EXPECT_EQ(store.GetUserNameIndex("n32766"), 32766);
    EXPECT_EQ(store.GetUserNameIndex("one too many"), -1);
    EXPECT_EQ(store.GetUserNameIndex("one too many"), -1);
    EXPECT_EQ(store.Count(), 32767u);
    EXPECT_EQ(ReadFile(Path()).size(), file.size());
}

TEST_F(UserNames, ConcurrentLookupsAndReadsAgreeOnEveryNumber) {
    UserNameStore store;
    store.Load(Path());
    constexpr int kWriters = 4, kNamesEach = 40;
    std::atomic<bool> writing{true};
    std::vector<std::vector<int>> indexes(kWriters, std::vector<int>(kNamesEach, -1));
    std::atomic<int> readerMismatches{0};

    auto name = [](int writer, int n) { return "w" + std::to_string(writer) + "-" + std::to_string(n); };
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (writing.load()) {
                size_t count = store.Count();
                for (size_t i = 0; i < count; ++i) {
                    // An entry, once there, is a whole name of the pattern.
                    std::string text = store.UserNameAt(static_cast<int>(i));
                    if (text.empty() || text[0] != 'w') ++readerMismatches;
                }
            }
        });
    }
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int n = 0; n < kNamesEach; ++n) {
                indexes[w][n] = store.GetUserNameIndex(name(w, n).c_str());
                // Another lookup of an earlier name must find it, not append it again.
                store.GetUserNameIndex(name(w, n / 2).c_str());
            }
        });
    }
    for (auto& t : writers) t.join();
    writing = false;
    for (auto& t : readers) t.join();

    EXPECT_EQ(readerMismatches.load(), 0);
    ASSERT_EQ(store.Count(), static_cast<size_t>(kWriters * kNamesEach));
    std::set<int> seen;
    for (int w = 0; w < kWriters; ++w) {
        for (int n = 0; n < kNamesEach; ++n) {
            int index = indexes[w][n];
            ASSERT_GE(index, 0);
            EXPECT_TRUE(seen.insert(index).second) << "number " << index << " given twice";
            EXPECT_EQ(store.UserNameAt(index), name(w, n));
        }
    }
    std::vector<std::string> onDisk = NamesOnDisk();
    ASSERT_EQ(onDisk.size(), store.Count());
    for (size_t i = 0; i < onDisk.size(); ++i) EXPECT_EQ(onDisk[i], store.UserNameAt(static_cast<int>(i)));
}

}  // namespace
