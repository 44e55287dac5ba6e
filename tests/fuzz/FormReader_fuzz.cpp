// libFuzzer target for the form reader. Any text either reads, or fails with
// EReadError leaving the root without components. A form that reads writes
// back to a text that reads again; after one more round the text stays the
// same. (One round is not enough: a value equal to its recorded default but
// not to the constructor's, such as Interval 0, is left out and comes back as
// the constructor's value.)
#include "System.Classes.Streaming.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "QevTimer.hpp"
#include "System.Kernel.hpp"
#include "support/Services.hpp"

namespace {

using namespace System::Classes;
namespace K = System::Kernel;

// A design-state root: its timers start no workers.
struct FuzzForm : TDataModule {
  FuzzForm() : TDataModule(nullptr) {
    SetDesigning(true);
    PublishMethod("TickA", TNotifyEvent::Bind<&FuzzForm::Tick>(this));
    PublishMethod("TickB", TNotifyEvent::Bind<&FuzzForm::Tick>(this));
  }
  void Tick(System::TObject*) {}
};

// Every timer destructor pauses 500 ms; the fuzzer skips that pause.
void NoPause(std::uint32_t ms) {
  if (ms != 500) qevtest::SystemServices().Sleep(ms);
}

K::Services NoPauseServices() {
  K::Services s = K::DefaultServices();
  s.Sleep = NoPause;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qevtest::ScopedServices noPause(NoPauseServices());
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  FuzzForm form;
  try {
    ReadFormText(text, form);
  } catch (const EReadError&) {
    if (form.ComponentCount() != 0) std::abort();  // a failed read left components behind
    return 0;
  }
  const std::string once = WriteFormText(form);
  FuzzForm second;
  ReadFormText(once, second);
  const std::string twice = WriteFormText(second);
  FuzzForm third;
  ReadFormText(twice, third);
  if (WriteFormText(third) != twice) std::abort();
  return 0;
}
