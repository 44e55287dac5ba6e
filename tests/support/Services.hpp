// Replacing the system services (System::Kernel::Services) in a test: one
// scoped installation that restores the table it replaced, also when an
// assertion leaves the test early.
#pragma once

#include "System.Kernel.hpp"

namespace qevtest {

// The platform's own services, for replacement entries that pass a call on.
inline const System::Kernel::Services& SystemServices() {
  static const System::Kernel::Services services = System::Kernel::DefaultServices();
  return services;
}

// Installs `services` for the lifetime of the object; the destructor puts
// back the table that was installed before.
class ScopedServices {
 public:
  explicit ScopedServices(const System::Kernel::Services& services) : previous_(System::Kernel::Install(services)) {}
  ~ScopedServices() { System::Kernel::Install(previous_); }
  ScopedServices(const ScopedServices&) = delete;
  ScopedServices& operator=(const ScopedServices&) = delete;

 private:
  System::Kernel::Services previous_;
};

}  // namespace qevtest
