// Finding the surface by name and attaching to it, and the input steps of
// attaching and ending.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "controller/controller.h"
#include "fake_host.h"
#include "sim_surface.h"
#include <gtest/gtest.h>

namespace {

using test::Bytes;
using test::Clear;
using test::FakeHost;
using test::Lamp;
using test::SimSurface;
using Lines = std::vector<std::string>;

const char kNotFound[] = "Couldn't find Quillmote Midi port\n";

std::string SystemText(MMRESULT result) {
  char text[128] = {};
  midiInGetErrorTextA(result, text, sizeof text);
  return text;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Attaching : public ::testing::Test {
 protected:
  FakeHost m_host;
};

TEST_F(Attaching, ClearsTheDisplayThenPutsOutTheLoopLamp) {
  SimSurface surface;
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  EXPECT_TRUE(surface.Received().empty()) << "construction sends nothing";
  EXPECT_EQ(controller.Attach(), 1);
  EXPECT_FALSE(controller.NoSurface());
  EXPECT_EQ(surface.Received(), (std::vector<Bytes>{Clear(), Lamp(86, false)}));
  EXPECT_TRUE(surface.DebugLines().empty());
}

TEST_F(Attaching, OpensTheHighestMatchingDevice) {
  SimSurface surface(false);
  sim_add_output("Other");
  const unsigned low = sim_add_output("Quillmote A");
  sim_add_output("QUILLMOTE");  // letter case counts
  const unsigned high = sim_add_output("Quillmote");
  sim_add_output("Quillmot");  // too short
  sim_add_input("Quillmote In");
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  controller.Attach();
  ASSERT_TRUE(sim_wait_idle(10000));
  EXPECT_EQ(sim_sent_count(low), 0u);
  EXPECT_EQ(sim_sent_count(high), 2u);
}

TEST_F(Attaching, SkipsADeviceThatCannotDescribeItself) {
  SimSurface surface(false);
  const unsigned first = sim_add_output("Quillmote 1");
  const unsigned second = sim_add_output("Quillmote 2");
  sim_add_input("Quillmote In");
  // The second device's capabilities can't be read: the first one is used.
  sim_fail("midiOutGetDevCapsA", MMSYSERR_NODRIVER, 1, 1);
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  EXPECT_EQ(controller.Attach(), 1);
  ASSERT_TRUE(sim_wait_idle(10000));
  EXPECT_EQ(sim_sent_count(first), 2u);
  EXPECT_EQ(sim_sent_count(second), 0u);
}

TEST_F(Attaching, WithoutBothPortsDoesNothingButSaySo) {
  struct Case {
    const char* name;
    bool output, input, otherInput;
  };
  const Case cases[] = {{"no input port", true, false, true},
                        {"no input devices at all", true, false, false},
                        {"no output port", false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimSurface surface(false);
    const unsigned output = c.output ? sim_add_output("Quillmote Port") : sim_add_output("Synth");
    if (c.input) sim_add_input("Quillmote Port");
    if (c.otherInput) sim_add_input("Keyboard");
    m_host.SetCommands({"Undo (1)", "Redo"});
    HostServices services = m_host.Services();
    m_host.ClearCalls();
    CMidiReceiveDlg controller(&services);
    EXPECT_EQ(controller.Attach(), 1);
    EXPECT_TRUE(controller.NoSurface());
    EXPECT_EQ(controller.UndoCommand(), -1);
    EXPECT_EQ(controller.RedoCommand(), -1);
    EXPECT_EQ(m_host.GetNameCalls(), 0);
    ASSERT_TRUE(sim_wait_idle(10000));
    EXPECT_EQ(sim_sent_count(output), 0u);
    EXPECT_EQ(sim_open_devices(), 0u);
    EXPECT_EQ(surface.DebugLines(), std::vector<std::string>{kNotFound});
  }
}

TEST_F(Attaching, AFailedOpenIsReportedAndTheRestStillRuns) {
  SimSurface surface;
  m_host.SetCommands({"Redo", "Undo (1)", "Redo"});
  sim_fail("midiOutOpen", MMSYSERR_ALLOCATED, 0, 1);
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  EXPECT_EQ(controller.Attach(), 1);
  EXPECT_FALSE(controller.NoSurface());
  EXPECT_TRUE(surface.Received().empty());
  EXPECT_TRUE(Has(surface.DebugLines(),
                  "Error attaching to Quillmote Midi port The specified resource is already "
                  "allocated.\n"));
  EXPECT_EQ(controller.UndoCommand(), 1);
  EXPECT_EQ(controller.RedoCommand(), 2);  // the last of its name
}

TEST_F(Attaching, AFailedDisplayClearIsReportedAndTheLoopLampStillGoesOut) {
  SimSurface surface;
  sim_fail("midiOutLongMsg", MIDIERR_NOTREADY, 0, 1);
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  EXPECT_EQ(controller.Attach(), 1);
  EXPECT_EQ(surface.Received(), std::vector<Bytes>{Lamp(86, false)});
  ASSERT_EQ(surface.DebugLines().size(), 1u);
  EXPECT_EQ(surface.DebugLines()[0].rfind("Error attaching to Quillmote Midi port ", 0), 0u);
}

TEST_F(Attaching, LooksUpUndoAndRedoByExactNameAndValidity) {
  SimSurface surface;
  m_host.SetCommands({"Undo (1)", "Redo", "redo", "Undo (1)", "Redo", "Redo "});
  m_host.SetCommandValid(4, false);  // a matching name with the flag down
  HostServices services = m_host.Services();
  CMidiReceiveDlg controller(&services);
  controller.Attach();
  EXPECT_EQ(controller.UndoCommand(), 3);
  EXPECT_EQ(controller.RedoCommand(), 1);
  EXPECT_EQ(controller.FindHostCommand("Nothing"), -1);
}

TEST_F(Attaching, ClosesItsPortsWhenDestroyed) {
  SimSurface surface;
  HostServices services = m_host.Services();
  {
    CMidiReceiveDlg controller(&services);
    controller.Attach();
    EXPECT_GE(sim_open_devices(), 1u);
  }
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_prepared_headers(), 0u);
}

// ---- The input steps of attaching and ending ---------------------------------

class InputAttach : public ::testing::Test {
 protected:
  InputAttach() {
    m_host.SetCommands({"Cut", "Undo (1)", "Redo"});
    m_services = m_host.Services();
  }

  FakeHost m_host;
  HostServices m_services{};
};

TEST_F(InputAttach, StartsInputAtAttachAndStopsItAtTheEnd) {
  SimSurface surface;
  auto controller = std::make_unique<CMidiReceiveDlg>(&m_services);
  EXPECT_EQ(sim_call_count("midiInOpen"), 0u) << "construction opens nothing";
  controller->Attach();
  EXPECT_EQ(sim_open_devices(), 2u);
  EXPECT_TRUE(surface.Send(0x90, kNotePlay, 0x7F));
  EXPECT_EQ(m_host.Calls(), (std::vector<test::HostCall>{test::Action(HostCode::kPlay, 1, 0)}));
  controller.reset();
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_FALSE(surface.Send(0x90, kNotePlay, 0x7F)) << "no input after the end";
}

TEST_F(InputAttach, AnInputFailureIsReportedAndAttachGoesOn) {
  struct Case {
    const char* function;
    unsigned result;
    unsigned skip;
    std::string text;
    unsigned openDevices;
  };
  const Case cases[] = {
      {"midiInOpen", MMSYSERR_ALLOCATED, 0, SystemText(MMSYSERR_ALLOCATED), 1},
      {"midiInStart", MMSYSERR_NOMEM, 0, SystemText(MMSYSERR_NOMEM), 2},
      // The output port's thread is the first, the input port's the second:
      // without its thread the input device is never opened.
      {"CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1,
       "Unable to start the worker thread of a CMIDIInDevice object.", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    SimSurface surface;
    sim_fail(c.function, c.result, c.skip, 1);
    {
      CMidiReceiveDlg controller(&m_services);
      EXPECT_EQ(controller.Attach(), 1);
      const Lines lines = surface.DebugLines();
      EXPECT_NE(std::find(lines.begin(), lines.end(),
                          "Error attaching to Quillmote Midi port " + c.text + "\n"),
                lines.end());
      EXPECT_EQ(controller.UndoCommand(), 1);
      EXPECT_EQ(controller.RedoCommand(), 2);
      EXPECT_EQ(sim_open_devices(), c.openDevices);
      EXPECT_FALSE(surface.Send(0x90, kNotePlay, 0x7F)) << "input is not running";
      EXPECT_EQ(surface.Received(), (std::vector<Bytes>{Clear(), Lamp(kNoteLoop, false)}));
    }
    EXPECT_EQ(sim_open_devices(), 0u);
  }
}

TEST_F(InputAttach, SkipsAnInputDeviceThatCannotDescribeItself) {
  SimSurface surface(false);
  sim_add_output("Quillmote Port");
  const unsigned first = sim_add_input("Quillmote In 1");
  sim_add_input("Quillmote In 2");
  sim_fail("midiInGetDevCapsA", MMSYSERR_NODRIVER, 1, 1);
  CMidiReceiveDlg controller(&m_services);
  EXPECT_EQ(controller.Attach(), 1);
  EXPECT_FALSE(controller.NoSurface());
  EXPECT_EQ(sim_send_input(first, 0x7F5E90, 0, 1), 1) << "the first input device is used";
}

TEST_F(InputAttach, EndingSurvivesAnInputPortThatWontClose) {
  SimSurface surface;
  {
    CMidiReceiveDlg controller(&m_services);
    controller.Attach();
    sim_fail("midiInClose", MIDIERR_STILLPLAYING, 0, 1);
  }
  // The output port is closed all the same, and the input port's own end
  // closes the device at its second try.
  EXPECT_EQ(sim_open_devices(), 0u);
  EXPECT_EQ(sim_call_count("midiInClose"), 2u);
}

}  // namespace
