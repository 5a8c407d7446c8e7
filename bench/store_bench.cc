// The store at plant scale: how long start-up spends reading "AlarmObjects.dat" beside what
// merely reading its bytes costs, and whether tag and handle lookups stay flat from a
// thousand objects to a million.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "server/store/alarm_object_format.h"
#include "server/store/alarm_source.h"
#include "tests/support/temp_folder.h"

namespace heraldon {
namespace {

using alarm_file::kHeaderSize;
using alarm_file::kRecordSize;

constexpr int64_t kReadBlock = 512;  // records per read, as the loader reads them

std::string TagOf(int64_t i) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "TAG%07lld", static_cast<long long>(i));
    return tag;
}

void PutLe(uint8_t* out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A source folder holding an object file of the given size. The 1 000 000-record file is
// 2.8 GB, so only one file exists at a time: asking for another size deletes the last, and
// the last one goes when the program ends.
class ObjectFile {
public:
    static const ObjectFile& OfSize(int64_t records) {
        static std::unique_ptr<ObjectFile> current;
        if (!current || current->records_ != records) {
            current.reset();
            current.reset(new ObjectFile(records));
        }
        return *current;
    }

    std::string Folder() const { return folder_.Path(); }
    std::string Path() const { return folder_ / "AlarmObjects.dat"; }
    int64_t Records() const { return records_; }
    int64_t Bytes() const { return static_cast<int64_t>(kHeaderSize) + records_ * kRecordSize; }

private:
    explicit ObjectFile(int64_t records) : records_(records) {
        int fd = ::open(Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) std::abort();
        std::vector<uint8_t> header(kHeaderSize, 0);
        PutLe(header.data(), alarm_file::kVersion, 4);
        PutLe(header.data() + 4, static_cast<uint64_t>(records), 4);
        PutLe(header.data() + 8, 1, 4);
        PutLe(header.data() + 12, 1700000000, 8);
        WriteAll(fd, header.data(), header.size());

        std::vector<uint8_t> block(kReadBlock * kRecordSize);
        for (int64_t first = 0; first < records; first += kReadBlock) {
            int64_t n = std::min(kReadBlock, records - first);
            for (int64_t k = 0; k < n; ++k) {
                int64_t i = first + k;
                AlarmObject object = AlarmObject::New();
                SetText(object.Tag, TagOf(i));
                object.SCADAHandle = static_cast<uint32_t>(i + 1);
                object.FileRecord = static_cast<int32_t>(i);
                object.EncodeTo(*reinterpret_cast<uint8_t(*)[kRecordSize]>(block.data() + k * kRecordSize));
            }
            WriteAll(fd, block.data(), static_cast<size_t>(n) * kRecordSize);
        }
        ::close(fd);
    }

    static void WriteAll(int fd, const uint8_t* bytes, size_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd, bytes, size);
            if (n <= 0) std::abort();
            bytes += n;
            size -= static_cast<size_t>(n);
        }
    }

    testing_support::TempFolder folder_;
    int64_t records_;
};

void BM_LoadAlarmObjects(benchmark::State& state) {
    const ObjectFile& file = ObjectFile::OfSize(state.range(0));
    AlarmSourceSettings settings;
    settings.name = "Bench";
    AlarmSource source(settings, 1, file.Folder());
    for (auto _ : state) {
        if (!source.Load()) state.SkipWithError("Load failed");
        state.PauseTiming();
        if (static_cast<int64_t>(source.inUse.size()) != file.Records()) {
            state.SkipWithError("not every record was loaded");
        }
        // Freeing a million objects is not what start-up pays for.
        source.inUse.Clear();
        source.objectFile.Close();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * file.Records());
    state.SetBytesProcessed(state.iterations() * file.Bytes());
}

// The floor for the loader: the same bytes in the same blocks, decoded into nothing.
void BM_PreadObjectFile(benchmark::State& state) {
    const ObjectFile& file = ObjectFile::OfSize(state.range(0));
    std::vector<uint8_t> block(kReadBlock * kRecordSize);
    for (auto _ : state) {
        int fd = ::open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) state.SkipWithError("open failed");
        uint8_t header[alarm_file::kHeaderUsed];
        if (::pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
            state.SkipWithError("header read failed");
        }
        for (int64_t first = 0; first < file.Records(); first += kReadBlock) {
            size_t size = static_cast<size_t>(std::min(kReadBlock, file.Records() - first)) * kRecordSize;
            if (::pread(fd, block.data(), size, alarm_file::RecordOffset(first)) !=
                static_cast<ssize_t>(size)) {
                state.SkipWithError("short read");
                break;
            }
            benchmark::DoNotOptimize(block.data());
            benchmark::ClobberMemory();
        }
        ::close(fd);
    }
    state.SetItemsProcessed(state.iterations() * file.Records());
    state.SetBytesProcessed(state.iterations() * file.Bytes());
}

// Runs the file benchmarks size by size, so that each file is written once.
BENCHMARK(BM_LoadAlarmObjects)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PreadObjectFile)->Arg(100'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoadAlarmObjects)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PreadObjectFile)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A list of objects tagged and numbered as in the file above, with lookups of random
// existing objects prepared beforehand: tags in random case, since clients send tags as
// people type them.
class Population {
public:
    static const Population& OfSize(int64_t objects) {
        static std::unique_ptr<Population> current;
        if (!current || current->objects_ != objects) {
            current.reset();
            current.reset(new Population(objects));
        }
        return *current;
    }

    const AlarmObjectList& List() const { return list_; }
    const std::vector<std::string>& Tags() const { return tags_; }
    const std::vector<uint32_t>& Handles() const { return handles_; }

private:
    static constexpr size_t kQueries = 1 << 20;

    explicit Population(int64_t objects) : objects_(objects) {
        for (int64_t i = 0; i < objects; ++i) {
            auto object = std::make_unique<AlarmObject>(AlarmObject::New());
            SetText(object->Tag, TagOf(i));
            object->SCADAHandle = static_cast<uint32_t>(i + 1);
            object->FileRecord = static_cast<int32_t>(i);
            list_.Append(std::move(object));
        }
        std::mt19937_64 rng(42);
        std::uniform_int_distribution<int64_t> pick(0, objects - 1);
        tags_.reserve(kQueries);
        handles_.reserve(kQueries);
        for (size_t q = 0; q < kQueries; ++q) {
            std::string tag = TagOf(pick(rng));
            for (char& c : tag) {
                if (c >= 'A' && c <= 'Z' && (rng() & 1)) c = static_cast<char>(c + ('a' - 'A'));
            }
            tags_.push_back(std::move(tag));
            handles_.push_back(static_cast<uint32_t>(pick(rng) + 1));
        }
    }

    int64_t objects_;
    AlarmObjectList list_;
    std::vector<std::string> tags_;
    std::vector<uint32_t> handles_;
};

void BM_FindByTag(benchmark::State& state) {
    const Population& p = Population::OfSize(state.range(0));
    size_t q = 0;
    for (auto _ : state) {
        AlarmObject* found = p.List().FindByTag(p.Tags()[q]);
        benchmark::DoNotOptimize(found);
        if (++q == p.Tags().size()) q = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FindBySCADAHandle(benchmark::State& state) {
    const Population& p = Population::OfSize(state.range(0));
    size_t q = 0;
    for (auto _ : state) {
        AlarmObject* found = p.List().FindBySCADAHandle(p.Handles()[q]);
        benchmark::DoNotOptimize(found);
        if (++q == p.Handles().size()) q = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_FindByTag)->Arg(1'000);
BENCHMARK(BM_FindBySCADAHandle)->Arg(1'000);
BENCHMARK(BM_FindByTag)->Arg(1'000'000);
BENCHMARK(BM_FindBySCADAHandle)->Arg(1'000'000);

}  // namespace
}  // namespace heraldon

BENCHMARK_MAIN();
