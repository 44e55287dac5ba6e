#include "System.Classes.Streaming.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "QevTimer.hpp"
#include "System.Kernel.hpp"
#include "support/Services.hpp"
#include "support/Wait.hpp"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace System::Classes;
using Qevtimer::TQevTimer;
namespace K = System::Kernel;

// A form class with two published handlers.
struct TestForm : TDataModule {
  std::atomic<int> a{0}, b{0};
  explicit TestForm(bool designing) : TDataModule(nullptr) {
    SetDesigning(designing);
    PublishMethod("TickA", TNotifyEvent::Bind<&TestForm::TickA>(this));
    PublishMethod("TickB", TNotifyEvent::Bind<&TestForm::TickB>(this));
  }
  void TickA(System::TObject*) { ++a; }
  void TickB(System::TObject*) { ++b; }
  TQevTimer* Timer(const char* name) const { return static_cast<TQevTimer*>(FindComponent(name)); }
};

// Counts the threads made, and skips the timer destructor's fixed 500 ms
// pause on the main thread so that the many timers here go quickly; every
// other sleep passes through.
std::atomic<int> threadsMade{0};
void QuickSleep(std::uint32_t ms) {
  if (ms == 500 && K::CurrentThreadId() == K::MainThreadId()) return;
  qevtest::SystemServices().Sleep(ms);
}
K::OsThread* CountedCreateThread(K::ThreadEntry entry, void* arg) {
  ++threadsMade;
  return qevtest::SystemServices().CreateThread(entry, arg);
}

K::Services QuickServices() {
  K::Services s = K::DefaultServices();
  s.Sleep = QuickSleep;
  s.CreateThread = CountedCreateThread;
  return s;
}

struct Forms : ::testing::Test {
  qevtest::ScopedServices services{QuickServices()};
  Forms() { threadsMade = 0; }
  // Runs before the services are restored.
  ~Forms() override { EXPECT_TRUE(qevtest::ServeUntil([] { return TThread::ActiveCount() == 0; }, 20s)); }
};

const char* const kForm =
    "object Main: TDataModule\n"
    "  Tag = -42\n"
    "  object Plain: TQevTimer\n"
    "    Interval = 1\n"
    "  end\n"
    "  object Fast: TQevTimer\n"
    "    Interval = 0.001\n"
    "    OnTimer = TickA\n"
    "    Priority = tpTimeCritical\n"
    "  end\n"
    "  object Once: TQevTimer\n"
    "    Tag = 9\n"
    "    Enabled = False\n"
    "    Interval = 2147483.648\n"
    "    Cycled = False\n"
    "    RepeatCount = 4294967295\n"
    "    OnTimer = TickB\n"
    "    Priority = tpIdle\n"
    "    object Inner: TQevTimer\n"
    "      Interval = 1e-300\n"
    "      OnTimer = TickA\n"
    "    end\n"
    "  end\n"
    "end\n";

TEST_F(Forms, FormRoundTripsByteForByte) {
  TestForm designed(true);
  designed.SetName("Main");
  designed.SetTag(-42);
  auto* plain = new TQevTimer(&designed);
  plain->SetName("Plain");
  auto* fast = new TQevTimer(&designed);
  fast->SetName("Fast");
  fast->SetInterval(0.001);
  fast->SetOnTimer(TNotifyEvent::Bind<&TestForm::TickA>(&designed));
  fast->SetPriority(TThreadPriority::tpTimeCritical);
  auto* once = new TQevTimer(&designed);
  once->SetName("Once");
  once->SetEnabled(false);
  once->SetInterval(2147483.648);
  once->SetCycled(false);
  once->SetRepeatCount(4294967295u);
  once->SetOnTimer(TNotifyEvent::Bind<&TestForm::TickB>(&designed));
  once->SetPriority(TThreadPriority::tpIdle);
  once->SetTag(9);
  auto* inner = new TQevTimer(once);
  inner->SetName("Inner");
  inner->SetInterval(1e-300);
  inner->SetOnTimer(TNotifyEvent::Bind<&TestForm::TickA>(&designed));
  // Values equal to their recorded defaults are left out; the constructor's
  // Interval 1.0 differs from its recorded default 0 and is written.
  EXPECT_EQ(WriteFormText(designed), kForm);

  TestForm restored(true);
  ReadFormText(kForm, restored);
  EXPECT_EQ(WriteFormText(restored), kForm);
  EXPECT_EQ(restored.Name(), System::UnicodeString("Main"));
  EXPECT_EQ(restored.Timer("Plain")->Interval(), 1.0);
  ASSERT_NE(restored.Timer("Once"), nullptr);
  TQevTimer* restoredInner = static_cast<TQevTimer*>(restored.Timer("Once")->FindComponent("Inner"));
  ASSERT_NE(restoredInner, nullptr);
  // Handlers are bound to the form they were read into.
  restoredInner->OnTimer()(restoredInner);
  restored.Timer("Once")->OnTimer()(nullptr);
  EXPECT_EQ(restored.a.load(), 1);
  EXPECT_EQ(restored.b.load(), 1);
  EXPECT_EQ(designed.a.load() + designed.b.load(), 0);
  EXPECT_EQ(threadsMade.load(), 0);  // design state: no worker at all
}

// The UTF-8 byte order mark that many Windows editors write first.
const std::string kBom = "\xEF\xBB\xBF";

// The form as Windows editors save it: CRLF line ends, a leading byte order
// mark, or both, read as the same form.
TEST_F(Forms, WindowsLineEndsAndALeadingByteOrderMarkReadAsTheSameForm) {
  std::string crlf;
  for (const char* c = kForm; *c; ++c) crlf += *c == '\n' ? "\r\n" : std::string(1, *c);
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"LF", kForm},
      {"CRLF", crlf},
      {"byte order mark, LF", kBom + kForm},
      {"byte order mark, CRLF", kBom + crlf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestForm restored(true);
    EXPECT_NO_THROW(ReadFormText(c.text, restored));
    EXPECT_EQ(WriteFormText(restored), kForm);
  }
}

TEST_F(Forms, DoublesRoundTripExactly) {
  const double values[] = {0.1,
                           1.0 / 3,
                           2147483.647,
                           -1e-7,
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::lowest(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           123456789.98765432};
  TestForm form(true);
  auto* timer = new TQevTimer(&form);
  timer->SetName("T");
  for (double v : values) {
    timer->SetInterval(v);
    const std::string text = WriteFormText(form);
    TestForm back(true);
    ReadFormText(text, back);
    const double got = back.Timer("T")->Interval();
    EXPECT_EQ(std::memcmp(&got, &v, sizeof v), 0) << text;
  }
  timer->SetInterval(std::nan(""));
  TestForm back(true);
  ReadFormText(WriteFormText(form), back);
  EXPECT_TRUE(std::isnan(back.Timer("T")->Interval()));
}

TEST_F(Forms, IntervalZeroIsNotStoredAndTheRestoredTimerRunsAtOneSecond) {
  TestForm designed(true);
  auto* timer = new TQevTimer(&designed);
  timer->SetName("T");
  timer->SetInterval(0);
  timer->SetOnTimer(TNotifyEvent::Bind<&TestForm::TickA>(&designed));
  const std::string text = WriteFormText(designed);
  EXPECT_EQ(text.find("Interval"), std::string::npos) << text;

  TestForm running(false);
  const auto start = std::chrono::steady_clock::now();
  ReadFormText(text, running);
  EXPECT_EQ(running.Timer("T")->Interval(), 1.0);
  EXPECT_TRUE(qevtest::ServeUntil([&] { return running.a.load() >= 1; }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
}

TEST_F(Forms, StoredEnabledFalseStopsTheWorkerTheConstructorStarted) {
  TestForm designed(true);
  auto* timer = new TQevTimer(&designed);
  timer->SetName("T");
  timer->SetEnabled(false);
  const std::string text = WriteFormText(designed);
  EXPECT_NE(text.find("    Enabled = False\n"), std::string::npos) << text;

  TestForm running(false);
  ReadFormText(text, running);
  EXPECT_EQ(threadsMade.load(), 1);
  EXPECT_FALSE(running.Timer("T")->Enabled());
  EXPECT_TRUE(qevtest::ServeUntil([] { return TThread::ActiveCount() == 0; }, 10s));
  EXPECT_EQ(running.Timer("T")->GetCycleNumber(), 0u);
}

TEST_F(Forms, StoredIntervalReachesTheRunningWorker) {
  TestForm running(false);
  ReadFormText("object F: TDataModule\n  object T: TQevTimer\n    Interval = 0.02\n    OnTimer = TickA\n  end\nend\n",
               running);
  // The first wait may still be the constructor's 1.0 s; then 20 ms each.
  EXPECT_TRUE(qevtest::ServeUntil([&] { return running.a.load() >= 10; }, 10s));
}

TEST_F(Forms, DesignStateTimersStartAndEndNothing) {
  TestForm designed(true);
  ReadFormText(kForm, designed);
  for (int i = 0; i < designed.ComponentCount(); ++i) {
    auto* t = static_cast<TQevTimer*>(designed.Components(i));
    EXPECT_TRUE(t->ComponentState() & csDesigning);
    t->Start();
    t->Restart();
    t->SetEnabled(false);
    t->SetEnabled(true);
    System::Typinfo::SetPropValue(t, "Enabled", std::int64_t{0});
    t->Stop();
    t->Start();
    EXPECT_EQ(t->GetCycleNumber(), 0u);
  }
  EXPECT_EQ(threadsMade.load(), 0);
  EXPECT_EQ(TThread::ActiveCount(), 0);
}

TEST_F(Forms, BadInputsNameTheirPlaceAndLeaveNothingBehind) {
  const std::string head = "object F: TDataModule\n  Tag = 5\n  object A: TQevTimer\n  end\n";
  std::string deep = "object F: TDataModule\n";
  for (int i = 0; i < 40; ++i) deep += "object X" + std::to_string(i) + ": TComponent\n";
  struct Case {
    std::string text;
    int line, column;
    const char* error;
  } cases[] = {
      {head + "  object B: TNoSuchClass\n  end\nend\n", 5, 13, "unknown class TNoSuchClass"},
      {head + "  object B: TQevTimer\n    Intervall = 1\n  end\nend\n", 6, 5, "unknown property Intervall of TQevTimer"},
      {head + "  object B: TQevTimer\n    NeedSynchronization = True\n  end\nend\n", 6, 5, "unknown property"},
      {head + "  object B: TQevTimer\n    Interval = 1.2.3\n  end\nend\n", 6, 16, "malformed number"},
      {head + "  object B: TQevTimer\n    Interval = fast\n  end\nend\n", 6, 16, "a number expected"},
      {head + "  object B: TQevTimer\n    Interval = 1e999\n  end\nend\n", 6, 16, "out of range for a Double"},
      {head + "  object B: TQevTimer\n    Enabled = 1\n  end\nend\n", 6, 15, "1 is not a Boolean value"},
      {head + "  object B: TQevTimer\n    Priority = tpUltra\n  end\nend\n", 6, 16, "not a TThreadPriority value"},
      {head + "  object B: TQevTimer\n    RepeatCount = -1\n  end\nend\n", 6, 19, "-1 is out of range"},
      {head + "  object B: TQevTimer\n    RepeatCount = 4294967296\n  end\nend\n", 6, 19, "out of range"},
      {head + "  object B: TQevTimer\n    Tag = 99999999999999999999\n  end\nend\n", 6, 11, "out of range"},
      {head + "  object B: TQevTimer\n    OnTimer = TickC\n  end\nend\n", 6, 15, "publishes no method TickC"},
      {head + "  object B: TQevTimer\n    Cycled False\n  end\nend\n", 6, 12, "'=' expected"},
      {head + "  object B: TQevTimer\n    Cycled =\n  end\nend\n", 6, 13, "value expected"},
      {head + "  object B: TQevTimer\n    Cycled = False;\n  end\nend\n", 6, 19, "unexpected character ';'"},
      {head + "  object B: TQevTimer\n    Name = 'B\n  end\nend\n", 6, 12, "unterminated string"},
      {head + "  object A: TQevTimer\n  end\nend\n", 5, 10, "duplicate component name A"},
      {head + "  object B: TQevTimer\n    Interval = 2\n", 7, 1, "unexpected end of text: 'end' of B expected"},
      {head + "  object B: TQevTimer\n    Interval = 2\n  end\n", 8, 1, "'end' of F expected"},
      {head + "end\nend\n", 6, 1, "text after the end of the form"},
      {"object F: TQevTimer\nend\n", 1, 11, "the root is a TDataModule, not a TQevTimer"},
      {"objekt F: TDataModule\nend\n", 1, 1, "'object' expected"},
      // A byte order mark is accepted at the very start only; columns count from after it.
      {kBom + kBom + "object F: TDataModule\nend\n", 1, 1, "unexpected byte 0xEF"},
      {"\n" + kBom + "object F: TDataModule\nend\n", 2, 1, "unexpected byte 0xEF"},
      {"object F: TDataModule\n" + kBom + "  object B: TQevTimer\n  end\nend\n", 2, 1, "unexpected byte 0xEF"},
      {kBom + "object F: TDataModule\n  Tag = " + kBom + "1\nend\n", 2, 9, "unexpected byte 0xEF"},
      {"object F: TDataModule\n  object B: TQevTimer\n    Tag = 1\0\n"s, 3, 12, "unexpected byte 0x00"},
      {deep, 33, 1, "nested deeper than 32 levels"},
      {std::string(MaxFormText + 1, '\n'), 1, 1, "exceeds the limit"},
  };

  TestForm form(false);  // at run time, so that failed reads have workers to end
  form.SetName("Before");
  for (const Case& c : cases) {
    try {
      ReadFormText(c.text, form);
      ADD_FAILURE() << "no error for:\n" << c.text.substr(0, 200);
    } catch (const EReadError& e) {
      EXPECT_EQ(e.Line(), c.line) << e.what();
      EXPECT_EQ(e.Column(), c.column) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind("line " + std::to_string(c.line) + ", column ", 0), 0u) << e.what();
    }
    EXPECT_EQ(form.ComponentCount(), 0) << c.text.substr(0, 200);
    EXPECT_EQ(form.Name(), System::UnicodeString("Before"));
    EXPECT_EQ(form.Tag(), 0);
  }
  EXPECT_GT(threadsMade.load(), 0);  // timers were made before the errors, and deleted
  // The fixture then waits until every worker of those timers has ended.
}

TEST_F(Forms, AHandlerTheRootDoesNotPublishCannotBeWritten) {
  TestForm form(true);
  TestForm other(true);
  auto* timer = new TQevTimer(&form);
  timer->SetName("T");
  timer->SetOnTimer(TNotifyEvent::Bind<&TestForm::TickA>(&other));
  EXPECT_THROW(WriteFormText(form), EWriteError);
}

TEST(ClassRegistry, UnitsRegisterTheirComponentClasses) {
  EXPECT_EQ(GetClass("TQevTimer"), &TQevTimer::TypeInfo);
  EXPECT_EQ(GetClass("tqevtimer"), &TQevTimer::TypeInfo);
  EXPECT_EQ(GetClass("TDataModule"), &TDataModule::TypeInfo);
  EXPECT_EQ(GetClass("TTimerThread"), nullptr);
  EXPECT_THROW(CreateComponent(&Qevtimer::TTimerThread::TypeInfo, nullptr), EClassNotFound);

  auto* owner = new TComponent(nullptr);
  owner->SetDesigning(true);
  TComponent* made = CreateComponent(GetClass("TQevTimer"), owner);
  EXPECT_EQ(made->ClassInfo(), &TQevTimer::TypeInfo);
  EXPECT_EQ(made->Owner(), owner);
  EXPECT_TRUE(made->ComponentState() & csDesigning);
  delete owner;
}

}  // namespace
