// "AlarmObjects.dat" on disk: upgrades, damaged files, saving only what changed.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "server/core/log.h"
#include "server/store/alarm_object_format.h"
#include "server/store/alarm_source.h"
#include "tests/support/log_text.h"
#include "tests/support/temp_folder.h"

namespace {

using heraldon::AlarmObject;
using heraldon::AlarmSource;
using heraldon::AlarmSourceSettings;
using heraldon::alarm_file::kHeaderSize;
using heraldon::alarm_file::kRecordSize;
using testing_support::ReadFile;
using testing_support::TempFolder;
using testing_support::WriteFile;
using Bytes = std::string;

void PutLe(Bytes& b, size_t offset, uint64_t value, size_t size) {
    if (b.size() < offset + size) b.resize(offset + size, '\0');
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<char>(value >> (8 * i));
}

uint64_t GetLe(const Bytes& b, size_t offset, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(b[offset + i])) << (8 * i);
    return v;
}

Bytes Header(uint32_t version, uint32_t count, uint32_t enabled = 1, int64_t cleanup = 1234567) {
    Bytes h(kHeaderSize, '\0');
    PutLe(h, 0, version, 4);
    PutLe(h, 4, count, 4);
    PutLe(h, 8, enabled, 4);
    PutLe(h, 12, static_cast<uint64_t>(cleanup), 8);
    return h;
}

Bytes Record(const std::string& tag, uint32_t handle, int32_t inUse = 1) {
    AlarmObject o = AlarmObject::New();
    heraldon::SetText(o.Tag, tag);
    o.SCADAHandle = handle;
    o.InUse = inUse;
    if (inUse == 0) o.State = heraldon::kStateRemoved;
    uint8_t r[kRecordSize];
    o.EncodeTo(r);
    return Bytes(reinterpret_cast<char*>(r), kRecordSize);
}

class AlarmObjectFile : public ::testing::Test {
protected:
    AlarmObjectFile() {
        std::filesystem::create_directories(temp_ / "Plant");
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);
    }
    ~AlarmObjectFile() override { heraldon::TheLog().Configure("", 0, false); }

    std::unique_ptr<AlarmSource> Source() {
        AlarmSourceSettings s;
        s.name = "Plant";
        return std::make_unique<AlarmSource>(s, 1, temp_ / "Plant/");
    }
    std::string Path() const { return temp_ / "Plant/AlarmObjects.dat"; }
    std::string LogText() const { return testing_support::LogFolderText(temp_ / "logs"); }

    TempFolder temp_;
};

TEST_F(AlarmObjectFile, OlderVersionsAreUpgradedInPlaceKeepingTheirBytes) {
    for (uint32_t version : {0x1002u, 0x1003u, 0x1004u}) {
        size_t oldSize = heraldon::alarm_file::RecordSizeOf(version);
        std::mt19937 random(version);
        std::vector<Bytes> old;
        Bytes file = Header(version, 3, 0);
        for (int n = 0; n < 3; ++n) {
            Bytes r(oldSize, '\0');
            for (char& c : r) c = static_cast<char>(random());
            // Fields the loader sets itself or depends on: a plain tag and, where the old
            // layout reaches it, InUse 1.
            for (size_t i = 4; i < 84; ++i) r[i] = i < 10 ? static_cast<char>('a' + n) : '\0';
            if (oldSize > 1796) PutLe(r, 1792, 1, 4);
            old.push_back(r);
            file += r;
        }
        WriteFile(Path(), file);

        auto source = Source();
        ASSERT_TRUE(source->Load()) << std::hex << version;
        Bytes upgraded = ReadFile(Path());
        ASSERT_EQ(upgraded.size(), kHeaderSize + 3 * kRecordSize) << std::hex << version;
        EXPECT_EQ(GetLe(upgraded, 0, 4), 0x1005u);
        EXPECT_EQ(GetLe(upgraded, 4, 4), 3u);
        EXPECT_EQ(GetLe(upgraded, 8, 4), 1u) << "an upgraded source is enabled";
        EXPECT_EQ(GetLe(upgraded, 12, 8), 1234567u);
        for (int n = 0; n < 3; ++n) {
            size_t at = kHeaderSize + n * kRecordSize;
            EXPECT_EQ(upgraded.substr(at, oldSize), old[n]) << std::hex << version << " record " << n;
            EXPECT_EQ(GetLe(upgraded, at + 1792, 4), 1u) << "InUse";
        }
        EXPECT_EQ(source->inUse.size(), 3u);
        EXPECT_TRUE(source->removed.empty());
        EXPECT_NE(LogText().find("alarm file has version 0x" + [&] {
            char v[8];
            snprintf(v, sizeof v, "%04x", version);
            return std::string(v);
        }() + ", it will be updated to version 0x1005."), std::string::npos);
    }
}

struct Damage {
    const char* what;
    Bytes file;
    size_t recordsKept;
    const char* logged;  // "" when nothing is logged
};

TEST_F(AlarmObjectFile, DamagedFilesKeepEveryWholeRecordOrAreRecreated) {
    const Bytes two = Record("A", 1) + Record("B", 2);
    const Damage cases[] = {
        {"shorter than a header", Bytes(500, 'x'), 0, ""},
        {"newer version", Header(0x1006, 2) + two, 0,
         "alarm file has version 0x1006 but we can only handle version 0x1005. The file will be "
         "recreated."},
        {"unknown old version", Header(0x1001, 2) + two, 0,
         "Unknown file version, file will be recreated"},
        {"longer than its count (crash before the header)", Header(0x1005, 1) + two, 2,
         "The file was repaired and keeps its 2 whole records."},
        {"one byte too long", Header(0x1005, 2) + two + "z", 2,
         "was expected to be 6640 bytes long. The file was repaired"},
        {"count beyond the file", Header(0x1005, 5) + two, 2, "keeps its 2 whole records"},
        {"count beyond any handle", Header(0x1005, 0x1000000) + two, 2, "keeps its 2 whole records"},
        {"old version whose count overstates the file", Header(0x1004, 9) + Bytes(2 * 2804, '\0'), 2,
         "it will be updated to version 0x1005."},
    };
    for (const Damage& c : cases) {
        std::filesystem::remove_all(temp_ / "logs");
        std::filesystem::create_directories(temp_ / "logs");
        heraldon::TheLog().Configure(temp_ / "logs/", 90, false);  // a fresh day file
        WriteFile(Path(), c.file);
        auto source = Source();
        ASSERT_TRUE(source->Load()) << c.what;
        EXPECT_EQ(source->ObjectCount(), static_cast<int64_t>(c.recordsKept)) << c.what;
        Bytes after = ReadFile(Path());
        EXPECT_EQ(after.size(), kHeaderSize + c.recordsKept * kRecordSize) << c.what;
        EXPECT_EQ(GetLe(after, 0, 4), 0x1005u) << c.what;
        EXPECT_EQ(GetLe(after, 4, 4), c.recordsKept) << c.what;
        if (c.logged[0] != '\0') {
            EXPECT_NE(LogText().find(c.logged), std::string::npos) << c.what << "\n" << LogText();
        } else {
            EXPECT_EQ(LogText(), "") << c.what;
        }
    }
}

TEST_F(AlarmObjectFile, SaveWritesOnlyChangedRecordsAndFixesHeaderAndLength) {
    WriteFile(Path(), Header(0x1005, 3) + Record("A", 1) + Record("B", 2) + Record("C", 3));
    auto source = Source();
    ASSERT_TRUE(source->Load());
    std::vector<std::pair<int64_t, size_t>> mirrored;
    heraldon::SourceHooks().mirrorWrite = [&](AlarmSource&, int64_t offset, const uint8_t*, size_t size) {
        mirrored.emplace_back(offset, size);
    };

    source->Save(false, 1);  // nothing changed: no write at all
    EXPECT_TRUE(mirrored.empty());

    Bytes before = ReadFile(Path());
    AlarmObject* b = source->inUse.FindByTag("b");
    ASSERT_NE(b, nullptr);
    heraldon::SetText(b->Name, "Pump B");
    b->MarkChanged();
    source->Save(false, 1);
    Bytes after = ReadFile(Path());
    ASSERT_EQ(after.size(), before.size());
    size_t recordB = kHeaderSize + kRecordSize;
    EXPECT_EQ(after.substr(0, recordB), before.substr(0, recordB));
    EXPECT_EQ(after.substr(recordB + kRecordSize), before.substr(recordB + kRecordSize));
    EXPECT_EQ(after.substr(recordB + 84, 6), "Pump B");
    EXPECT_EQ(mirrored, (std::vector<std::pair<int64_t, size_t>>{{recordB, kRecordSize}, {0, kHeaderSize}}));

    AlarmObject* d = source->PlaceNewObject(std::make_unique<AlarmObject>(AlarmObject::New()));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->FileRecord, 3);
    d->MarkChanged();
    source->Save(false, 0);
    after = ReadFile(Path());
    EXPECT_EQ(after.size(), kHeaderSize + 4 * kRecordSize);
    EXPECT_EQ(GetLe(after, 4, 4), 4u);
    heraldon::SourceHooks().mirrorWrite = nullptr;
}

TEST_F(AlarmObjectFile, ASteppedSaveLetsOthersInAndCountsOnlyWrittenRecords) {
    auto source = Source();
    ASSERT_TRUE(source->Load());
    auto place = [&](const std::string& tag) {
        auto object = std::make_unique<AlarmObject>(AlarmObject::New());
        heraldon::SetText(object->Tag, tag);
        source->PlaceNewObject(std::move(object))->MarkChanged();
    };
    for (int i = 0; i < 3000; ++i) place("T" + std::to_string(i));

    heraldon::FairRecursiveMutex dataLock;
    std::unique_lock<heraldon::FairRecursiveMutex> lock(dataLock);
    // Waits for the lock while the save runs: it must get in between two steps, and what
    // it does there must neither be lost nor leave the file counting missing records.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        std::lock_guard<heraldon::FairRecursiveMutex> guard(dataLock);
        for (int i = 0; i < 2500; ++i) place("N" + std::to_string(i));
        heraldon::SetText(source->inUse.FindByTag("T0")->Name, "late");
        source->inUse.FindByTag("T0")->MarkChanged();
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // until the other thread waits
    source->SaveInSteps(lock, 0);
    EXPECT_TRUE(entered.load());
    lock.unlock();
    other.join();

    AlarmObject* first = source->inUse.FindByTag("T0");
    EXPECT_EQ(first->Changed, 1) << "changed after its step: kept for the next save";
    auto reloaded = Source();
    ASSERT_TRUE(reloaded->Load());
    ASSERT_EQ(reloaded->ObjectCount(), 5500);
    EXPECT_NE(reloaded->inUse.FindByTag("N2499"), nullptr);
    EXPECT_EQ(std::string(reloaded->inUse.FindByTag("T0")->Name), "");

    source->Save(false, 0);
    reloaded = Source();
    ASSERT_TRUE(reloaded->Load());
    EXPECT_EQ(std::string(reloaded->inUse.FindByTag("T0")->Name), "late");
}

TEST_F(AlarmObjectFile, RemovedObjectKeepsItsRecordAndComesBackUnderTheSameHandle) {
    WriteFile(Path(), Header(0x1005, 3) + Record("A", 1) + Record("B", 2) + Record("C", 3));
    auto source = Source();
    ASSERT_TRUE(source->Load());
    AlarmObject* b = source->MoveToRemoved(source->inUse.FindByTag("B"));
    ASSERT_NE(b, nullptr);
    b->InUse = 0;
    b->State = heraldon::kStateRemoved;
    b->MarkChanged();
    source->Close(true);

    auto again = Source();
    ASSERT_TRUE(again->Load());
    EXPECT_EQ(again->inUse.size(), 2u);
    AlarmObject* back = again->removed.FindByTag("b");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->FileRecord, 1);
    back = again->MoveToInUse(back);
    EXPECT_EQ(back->FileRecord, 1);
    EXPECT_EQ(again->inUse.FindByRecord(1), back);
    EXPECT_EQ(again->ObjectCount(), 3);
}

TEST_F(AlarmObjectFile, UnopenableFileKeepsObjectsInMemoryAndSavesThemOnceItOpens) {
    std::filesystem::remove_all(temp_ / "Plant");
    auto source = Source();
    EXPECT_FALSE(source->Load());
    for (const char* tag : {"A", "B"}) {
        auto object = std::make_unique<AlarmObject>(AlarmObject::New());
        heraldon::SetText(object->Tag, tag);
        ASSERT_NE(source->PlaceNewObject(std::move(object)), nullptr);
    }
    source->Save(true, 0);  // no file: nothing happens, nothing is lost
    EXPECT_FALSE(source->ReopenObjectFile());

    std::filesystem::create_directories(temp_ / "Plant");
    ASSERT_TRUE(source->ReopenObjectFile());
    source->Save(false, 0);
    source->Close(true);

    auto again = Source();
    ASSERT_TRUE(again->Load());
    EXPECT_EQ(again->inUse.size(), 2u);
    ASSERT_NE(again->inUse.FindByTag("B"), nullptr);
    EXPECT_EQ(again->inUse.FindByTag("B")->FileRecord, 1);
}

TEST(SourceForHandle, TopByteIsTheUnsignedSourceIndex) {
    std::vector<std::unique_ptr<AlarmSource>> sources;
    for (int i = 0; i < 3; ++i) sources.push_back(std::make_unique<AlarmSource>(AlarmSourceSettings{}, i, "/x/"));
    int32_t record = 0;
    EXPECT_EQ(heraldon::SourceForHandle(sources, 0x02000005, &record), sources[2].get());
    EXPECT_EQ(record, 5);
    EXPECT_EQ(heraldon::SourceForHandle(sources, 0x03000000), nullptr);
    EXPECT_EQ(heraldon::SourceForHandle(sources, 0xFF000001, &record), nullptr) << "negative handle";
    EXPECT_EQ(record, 1);
}

}  // namespace
