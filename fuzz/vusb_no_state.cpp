// The fuzz targets build the virtual bus without its scenario and state file code (see
// CMakeLists.txt): no state is ever saved there, so the bus's hooks for it have nothing to do.
#include <string>

#include "internal.h"

namespace vusb {
void SetAutoSave(const std::string & /*path*/) {}
namespace detail {
void AfterCall() {}
void BeforeEnumeration() {}
} // namespace detail
} // namespace vusb
