// The output port's list of waiting messages on its own: whatever it leaves
// out and however it orders what it keeps, sending what it holds must leave
// the surface as every message in order would, with nothing starved.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "midi/out_waiting.h"
#include <gtest/gtest.h>

namespace {

using midi::CFootprint;
using midi::CWaitingMessages;

// A message is its id; its footprint and content are kept here.
struct Message {
  CFootprint footprint;
  char value = 0;
};

CFootprint Cells(WORD first, WORD last) { return {CFootprint::kCells, first, last}; }
CFootprint Key(WORD key) { return {CFootprint::kKey, key, 0}; }

class Waiting : public ::testing::Test {
 protected:
  // Hands over a message: its id is the entry's header pointer.
  void Add(const CFootprint& footprint, char value) {
    const std::uintptr_t id = m_messages.size() + 1;
    m_messages.push_back({footprint, value});
    CWaitingMessages::Entry entry;
    entry.header = reinterpret_cast<midi::CMIDIOutHeader*>(id);
    entry.footprint = footprint;
    m_waiting.Add(entry, [this](const CWaitingMessages::Entry& left) {
      m_leftOut.push_back(reinterpret_cast<std::uintptr_t>(left.header));
    });
    Apply(m_reference, m_messages.back());
  }
  // The system takes the oldest waiting message.
  std::uintptr_t Send() {
    const auto id = reinterpret_cast<std::uintptr_t>(m_waiting.Front().header);
    m_waiting.PopFront();
    m_sent.push_back(id);
    Apply(m_surface, m_messages[id - 1]);
    return id;
  }
  void SendAll() {
    while (!m_waiting.Empty()) Send();
  }

  // The surface: 40 cells, lamps by key, and what no footprint tells, in order.
  struct Surface {
    std::string cells = std::string(40, ' ');
    std::map<WORD, char> keys;
    std::string opaque;
    bool operator==(const Surface& other) const {
      return cells == other.cells && keys == other.keys && opaque == other.opaque;
    }
  };
  static void Apply(Surface& surface, const Message& message) {
    const CFootprint& footprint = message.footprint;
    if (footprint.kind == CFootprint::kCells) {
      for (WORD cell = footprint.first; cell <= footprint.last; ++cell) {
        surface.cells[cell] = message.value;
      }
    } else if (footprint.kind == CFootprint::kKey) {
      surface.keys[footprint.first] = message.value;
    } else {
      surface.opaque += message.value;
    }
  }

  CWaitingMessages m_waiting;
  std::vector<Message> m_messages;
  std::vector<std::uintptr_t> m_leftOut;
  std::vector<std::uintptr_t> m_sent;
  Surface m_reference;  // every message in order
  Surface m_surface;    // what was sent
};

TEST_F(Waiting, ANewerWriteOfTheSameCellsTakesTheOlderOnesPlace) {
  Add(Cells(0, 9), 'a');
  Add(Cells(11, 15), 'b');
  Add(Key(16), '1');
  Add(Cells(0, 9), 'c');
  ASSERT_EQ(m_waiting.Size(), 3u);
  EXPECT_EQ(m_leftOut, std::vector<std::uintptr_t>{1});
  EXPECT_EQ(Send(), 4u);  // first, where the name stood
  EXPECT_EQ(Send(), 2u);
  EXPECT_EQ(Send(), 3u);
  EXPECT_TRUE(m_surface == m_reference);
}

TEST_F(Waiting, MessagesWithoutAFootprintAreNeverLeftOutNorOvertaken) {
  Add(Cells(0, 39), 'a');
  Add(CFootprint{}, 'x');
  Add(Cells(0, 39), 'b');  // must stay behind the unknown message
  Add(CFootprint{}, 'y');
  Add(Cells(0, 39), 'c');
  SendAll();
  EXPECT_EQ(m_sent, (std::vector<std::uintptr_t>{1, 2, 4, 5}));
  EXPECT_TRUE(m_surface == m_reference);
}

TEST_F(Waiting, OverlappingFieldsBothKeepReachingTheWire) {
  // The track label (20 to 29) and the time (29 to 39) share cell 29; both
  // change between any two sends.
  int labels = 0;
  int times = 0;
  for (int period = 0; period < 200; ++period) {
    Add(Cells(20, 29), static_cast<char>('A' + period % 26));
    Add(Cells(29, 39), static_cast<char>('a' + period % 26));
    const CFootprint& sent = m_messages[Send() - 1].footprint;
    (sent.first == 20 ? labels : times) += 1;
    ASSERT_LE(m_waiting.Size(), 4u) << "at most two a field";
  }
  EXPECT_GE(labels, 90);
  EXPECT_GE(times, 90);
  SendAll();
  EXPECT_TRUE(m_surface == m_reference);
}

TEST_F(Waiting, LampsStayBehindWhatCameBeforeThemAndTheirLastStateArrives) {
  Add(Cells(20, 29), 'L');
  Add(Key(16), '1');
  Add(Key(8), '1');
  Add(Key(16), '0');
  Add(Key(16), '1');  // leaves out the note between the oldest and itself
  Add(Key(8), '0');
  SendAll();
  EXPECT_EQ(m_sent, (std::vector<std::uintptr_t>{1, 2, 3, 5, 6}));
  EXPECT_EQ(m_leftOut, std::vector<std::uintptr_t>{4});
  EXPECT_TRUE(m_surface == m_reference);
}

// Random traffic over the surface's own fields, lamps and unknown messages,
// with sends in between: whatever happens the final surface is the
// reference, nothing with no footprint is lost, the list stays small, and
// a lamp never goes out before a write handed over before it that was sent.
TEST_F(Waiting, AnyTrafficEndsAsEveryMessageInOrderWould) {
  const CFootprint fields[] = {Cells(0, 39),  Cells(0, 9),   Cells(10, 10),
                               Cells(11, 15), Cells(16, 16), Cells(17, 19),
                               Cells(20, 29), Cells(20, 27), Cells(29, 39)};
  uint32_t random = 2024;
  const auto next = [&random](uint32_t range) {
    random = random * 1103515245u + 12345u;
    return (random >> 16) % range;
  };
  std::size_t opaque = 0;
  std::size_t most = 0;
  for (int step = 0; step < 20000; ++step) {
    const uint32_t what = next(20);
    if (what < 12) {
      Add(fields[next(9)], static_cast<char>('!' + next(90)));
    } else if (what < 18) {
      Add(Key(static_cast<WORD>(next(7))), static_cast<char>('0' + next(2)));
    } else if (what == 18 && opaque < 8) {
      Add(CFootprint{}, static_cast<char>('a' + next(26)));
      ++opaque;
    }
    if (next(3) == 0 && !m_waiting.Empty()) {
      const std::uintptr_t id = Send();
      if (m_messages[id - 1].footprint.kind == CFootprint::kOpaque) --opaque;
    }
    if (m_waiting.Size() > most) most = m_waiting.Size();
    ASSERT_FALSE(m_waiting.Full());
  }
  SendAll();
  EXPECT_TRUE(m_surface == m_reference) << m_surface.cells << "\n" << m_reference.cells;
  EXPECT_LE(most, 2 * 9 + 2 * 7 + 8u);
  // A sent lamp came after every sent write handed over before it.
  std::map<std::uintptr_t, std::size_t> position;
  for (std::size_t i = 0; i < m_sent.size(); ++i) position[m_sent[i]] = i;
  for (const auto& [lamp, at] : position) {
    if (m_messages[lamp - 1].footprint.kind != CFootprint::kKey) continue;
    for (const auto& [write, when] : position) {
      if (write >= lamp) break;
      if (m_messages[write - 1].footprint.kind == CFootprint::kKey) continue;
      ASSERT_LT(when, at) << "lamp " << lamp << " overtook write " << write;
    }
  }
}

}  // namespace
