#include "server/store/alarm_object_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace heraldon {
namespace {

// The tag alphabet, each letter in its lower and upper form (Windows-1252). The reference
// search below knows case only through this table, so it shares nothing with the list's own
// case folding. ÷ and × have no other case and must never be taken for one another.
struct Letter {
    char lower;
    char upper;
};
constexpr Letter kLetters[] = {
    {'a', 'A'},       {'b', 'B'},
    {'\xE5', '\xC5'},  // å Å
    {'\xF6', '\xD6'},  // ö Ö
    {'\x9A', '\x8A'},  // š Š
    {'\xFF', '\x9F'},  // ÿ Ÿ
    {'\xF7', '\xF7'},  // ÷
    {'\xD7', '\xD7'},  // ×
    {'7', '7'},
};
constexpr int kLetterCount = sizeof kLetters / sizeof kLetters[0];

int LetterOf(char c) {
    for (int i = 0; i < kLetterCount; ++i) {
        if (c == kLetters[i].lower || c == kLetters[i].upper) return i;
    }
    return kLetterCount + static_cast<unsigned char>(c);
}

bool SameTag(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LetterOf(a[i]) != LetterOf(b[i])) return false;
    }
    return true;
}

// What every lookup must answer: the first object in list order that matches.
template <typename Match>
AlarmObject* LinearFirst(const std::vector<AlarmObject*>& order, Match match) {
    for (AlarmObject* object : order) {
        if (match(*object)) return object;
    }
    return nullptr;
}

std::unique_ptr<AlarmObject> MakeObject(std::string_view tag, uint32_t handle, int32_t record) {
    auto object = std::make_unique<AlarmObject>(AlarmObject::New());
    SetText(object->Tag, tag);
    object->SCADAHandle = handle;
    object->FileRecord = record;
    return object;
}

// A list next to the order its objects must have.
struct Modelled {
    AlarmObjectList list;
    std::vector<AlarmObject*> order;
};

class RandomHistory {
public:
    explicit RandomHistory(uint32_t seed) : rng_(seed) {}

    // Runs one random operation; returns its name for the failure message.
    std::string Step() {
        int op = static_cast<int>(Pick(100));
        // Keep the lists small enough for a full comparison after every step, and the key
        // space small enough that most keys are shared.
        if (lists_[0].order.size() + lists_[1].order.size() > 90 && op < 32) op = 32 + op % 30;
        Modelled& here = lists_[Pick(2)];
        Modelled& there = &here == &lists_[0] ? lists_[1] : lists_[0];
        if (op < 25) {
            auto object = MakeObject(RandomTag(), RandomHandle(), RandomRecord());
            AlarmObject* raw = object.get();
            EXPECT_EQ(here.list.Append(std::move(object)), raw);
            here.order.push_back(raw);
            return "append new";
        }
        if (op < 32) {
            if (loose_.empty()) return "nothing loose to append";
            size_t at = Pick(loose_.size());
            AlarmObject* raw = loose_[at].get();
            EXPECT_EQ(here.list.Append(std::move(loose_[at])), raw);
            loose_.erase(loose_.begin() + static_cast<ptrdiff_t>(at));
            here.order.push_back(raw);
            return "append a taken object";
        }
        if (op < 47) return TakeToLoose(here) ? "take" : "nothing to take";
        if (op < 62) {
            if (here.order.empty()) return "nothing to move";
            size_t at = Pick(here.order.size());
            AlarmObject* raw = here.order[at];
            std::unique_ptr<AlarmObject> owned = here.list.Take(raw);
            EXPECT_EQ(owned.get(), raw);
            if (owned == nullptr) return "move: the take found nothing";
            here.order.erase(here.order.begin() + static_cast<ptrdiff_t>(at));
            EXPECT_EQ(there.list.Append(std::move(owned)), raw);
            there.order.push_back(raw);
            return "move to the other list";
        }
        if (op < 84) {
            if (here.order.empty()) return "nothing to change";
            ChangeKey(here.list, here.order[Pick(here.order.size())], op);
            return "change a key in the list";
        }
        if (op < 89) {
            // Through a list the object is not in: only the field changes.
            if (loose_.empty()) return "nothing loose to change";
            ChangeKey(here.list, loose_[Pick(loose_.size())].get(), 62 + static_cast<int>(Pick(22)));
            return "change a key of a taken object";
        }
        if (op < 99) {
            const AlarmObject* stranger = nullptr;
            if (!there.order.empty() && Pick(2) == 0) {
                stranger = there.order[Pick(there.order.size())];
            } else if (!loose_.empty()) {
                stranger = loose_[Pick(loose_.size())].get();
            }
            if (stranger == nullptr) return "no stranger to take";
            EXPECT_EQ(here.list.Take(stranger), nullptr);
            return "take an object that is not in the list";
        }
        if (Pick(4) != 0) return "lookups only";
        here.list.Clear();
        here.order.clear();
        return "clear";
    }

    // Empty when both lists agree with the reference; else the first disagreement.
    std::string Mismatch() {
        std::vector<std::string> queries;
        for (int i = 0; i < 6; ++i) {
            const Modelled& m = lists_[Pick(2)];
            if (!m.order.empty()) queries.push_back(Recase(m.order[Pick(m.order.size())]->TagText()));
            queries.push_back(RandomTag());
        }
        for (int which = 0; which < 2; ++which) {
            const Modelled& m = lists_[which];
            std::ostringstream out;
            out << "list " << which << ": ";
            if (m.list.size() != m.order.size()) {
                out << "size " << m.list.size() << ", expected " << m.order.size();
                return out.str();
            }
            size_t position = 0;
            for (const auto& entry : m.list) {
                if (entry.get() != m.order[position]) {
                    out << "object at position " << position << " is out of order";
                    return out.str();
                }
                ++position;
            }
            for (int32_t record = -1; record <= kRecords; ++record) {
                if (m.list.FindByRecord(record) !=
                    LinearFirst(m.order, [&](const AlarmObject& o) { return o.FileRecord == record; })) {
                    out << "FindByRecord(" << record << ")";
                    return out.str();
                }
            }
            for (uint32_t handle = 0; handle <= kHandles; ++handle) {
                if (m.list.FindBySCADAHandle(handle) !=
                    LinearFirst(m.order, [&](const AlarmObject& o) { return o.SCADAHandle == handle; })) {
                    out << "FindBySCADAHandle(" << handle << ")";
                    return out.str();
                }
            }
            for (const std::string& tag : queries) {
                if (m.list.FindByTag(tag) !=
                    LinearFirst(m.order, [&](const AlarmObject& o) { return SameTag(o.TagText(), tag); })) {
                    out << "FindByTag(\"" << tag << "\")";
                    return out.str();
                }
            }
        }
        return "";
    }

private:
    static constexpr int32_t kRecords = 12;
    static constexpr uint32_t kHandles = 10;

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    uint32_t RandomHandle() { return Pick(5) < 2 ? 0 : static_cast<uint32_t>(1 + Pick(kHandles)); }
    int32_t RandomRecord() { return Pick(4) == 0 ? -1 : static_cast<int32_t>(Pick(kRecords)); }

    // Short tags from the alphabet in random case, now and then empty, now and then longer
    // than the field so that only their stored start can match.
    std::string RandomTag() {
        std::string tag;
        size_t kind = Pick(20);
        if (kind == 0) return tag;
        if (kind == 1) tag.assign(77, 'a');
        size_t letters = kind == 1 ? 1 + Pick(4) : 1 + Pick(2);
        for (size_t i = 0; i < letters; ++i) {
            const Letter& l = kLetters[Pick(kLetterCount)];
            tag.push_back(Pick(2) == 0 ? l.lower : l.upper);
        }
        return tag;
    }

    std::string Recase(std::string_view tag) {
        std::string out;
        for (char c : tag) {
            int letter = LetterOf(c);
            out.push_back(letter < kLetterCount ? (Pick(2) == 0 ? kLetters[letter].lower
                                                                 : kLetters[letter].upper)
                                                : c);
        }
        return out;
    }

    void ChangeKey(AlarmObjectList& list, AlarmObject* object, int op) {
        if (op < 70) {
            list.SetTag(object, RandomTag());
        } else if (op < 77) {
            list.SetSCADAHandle(object, RandomHandle());
        } else {
            list.SetFileRecord(object, RandomRecord());
        }
    }

    bool TakeToLoose(Modelled& m) {
        if (m.order.empty()) return false;
        size_t at = Pick(m.order.size());
        AlarmObject* raw = m.order[at];
        std::unique_ptr<AlarmObject> owned = m.list.Take(raw);
        EXPECT_EQ(owned.get(), raw);
        if (owned == nullptr) return true;
        m.order.erase(m.order.begin() + static_cast<ptrdiff_t>(at));
        if (loose_.size() > 20) loose_.erase(loose_.begin());
        loose_.push_back(std::move(owned));
        return true;
    }

    std::mt19937 rng_;
    Modelled lists_[2];
    std::vector<std::unique_ptr<AlarmObject>> loose_;  // taken and not appended again
};

TEST(AlarmObjectListTest, LookupsAnswerAsALinearSearchThroughRandomHistories) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomHistory history(seed);
        for (int step = 0; step < 8000; ++step) {
            std::string op = history.Step();
            ASSERT_EQ(history.Mismatch(), "") << "after step " << step << " (" << op << ")";
        }
    }
}

// The three lookups name the same object when the objects share all three keys.
void ExpectFirst(const AlarmObjectList& list, std::string_view tag, uint32_t handle,
                 int32_t record, const AlarmObject* expected) {
    EXPECT_EQ(list.FindByTag(tag), expected) << "tag";
    EXPECT_EQ(list.FindBySCADAHandle(handle), expected) << "handle";
    EXPECT_EQ(list.FindByRecord(record), expected) << "record";
}

TEST(AlarmObjectListTest, ReappendedObjectMatchesLast) {
    AlarmObjectList list;
    AlarmObject* a = list.Append(MakeObject("Pump \xE5", 0, 5));
    AlarmObject* b = list.Append(MakeObject("PUMP \xC5", 0, 5));
    AlarmObject* c = list.Append(MakeObject("pump \xC5", 0, 5));
    ExpectFirst(list, "pUMP \xE5", 0, 5, a);

    list.Append(list.Take(a));  // b c a
    ExpectFirst(list, "pUMP \xE5", 0, 5, b);

    list.Take(c);  // b a, taken from the middle
    ExpectFirst(list, "pUMP \xE5", 0, 5, b);

    list.Take(b);
    ExpectFirst(list, "pUMP \xE5", 0, 5, a);
}

TEST(AlarmObjectListTest, ChangingKeysKeepsTheObjectsPlace) {
    AlarmObjectList list;
    AlarmObject* a = list.Append(MakeObject("X", 1, 1));
    AlarmObject* b = list.Append(MakeObject("Y", 2, 2));

    list.SetTag(b, "x");
    list.SetSCADAHandle(b, 1);
    list.SetFileRecord(b, 1);
    ExpectFirst(list, "X", 1, 1, a);

    list.SetTag(a, "Z");
    list.SetSCADAHandle(a, 3);
    list.SetFileRecord(a, 3);
    ExpectFirst(list, "X", 1, 1, b);
    ExpectFirst(list, "z", 3, 3, a);
    ExpectFirst(list, "Y", 2, 2, nullptr);

    // a is still ahead of b in the list, however recently b's keys were set.
    list.SetTag(a, "X");
    list.SetSCADAHandle(a, 1);
    list.SetFileRecord(a, 1);
    ExpectFirst(list, "X", 1, 1, a);
    ExpectFirst(list, "Z", 3, 3, nullptr);
}

TEST(AlarmObjectListTest, AbsentKeysFindNothing) {
    AlarmObjectList list;
    ExpectFirst(list, "", 0, -1, nullptr);

    list.Append(MakeObject("Pump \xE5\xF7", 7, 3));
    struct Case {
        const char* tag;
        const char* why;
    } tags[] = {
        {"Pump", "a prefix"},
        {"Pump \xE5\xF7 ", "a longer tag"},
        {"Pump \xC5\xD7", "x is not the capital of the division sign"},
        {"Pump a\xF7", "a is not a-ring"},
        {"", "the empty tag"},
    };
    for (const Case& c : tags) EXPECT_EQ(list.FindByTag(c.tag), nullptr) << c.why;
    for (uint32_t handle : {0u, 6u, 8u, 7u | 0x01000000u}) {
        EXPECT_EQ(list.FindBySCADAHandle(handle), nullptr) << handle;
    }
    for (int32_t record : {-1, 0, 2, 4}) EXPECT_EQ(list.FindByRecord(record), nullptr) << record;

    AlarmObject* moved = list.Append(MakeObject("Valve", 9, 4));
    list.SetTag(moved, "Gate");
    list.SetSCADAHandle(moved, 10);
    list.SetFileRecord(moved, 5);
    ExpectFirst(list, "Valve", 9, 4, nullptr);

    std::unique_ptr<AlarmObject> taken = list.Take(moved);
    ExpectFirst(list, "Gate", 10, 5, nullptr);

    list.Clear();
    ExpectFirst(list, "PUMP \xC5\xF7", 7, 3, nullptr);
    EXPECT_TRUE(list.empty());
}

TEST(AlarmObjectListTest, TakeOfAnObjectNotInTheListReturnsNull) {
    AlarmObjectList inUse;
    AlarmObjectList removed;
    AlarmObject* kept = inUse.Append(MakeObject("Kept", 1, 0));
    AlarmObject* elsewhere = removed.Append(MakeObject("Elsewhere", 2, 1));
    auto neverAppended = MakeObject("Never", 3, 2);
    std::unique_ptr<AlarmObject> taken = inUse.Take(inUse.Append(MakeObject("Taken", 4, 3)));
    ASSERT_NE(taken, nullptr);

    // The last one was in the list once: a second take finds nothing.
    for (const AlarmObject* stranger : {elsewhere, neverAppended.get(), taken.get()}) {
        EXPECT_EQ(inUse.Take(stranger), nullptr) << stranger->Tag;
    }
    ASSERT_EQ(inUse.size(), 1u);
    EXPECT_EQ(inUse.begin()->get(), kept);
    EXPECT_EQ(inUse.FindByTag("kept"), kept);
    EXPECT_EQ(removed.FindBySCADAHandle(2), elsewhere);
}

}  // namespace
}  // namespace heraldon
