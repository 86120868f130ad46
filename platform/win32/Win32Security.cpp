#include <windows.h>

#include <sddl.h>

#include "platform/win32/UniqueResource.h"
#include "platform/win32/Win32Platform.h"

namespace platform::win32 {

Descriptor Win32Platform::BuildDescriptor(const std::u16string& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl), SDDL_REVISION_1, &descriptor, nullptr)) {
        Fail(GetLastError());
        return nullptr;
    }
    return descriptor;
}

void Win32Platform::FreeDescriptor(Descriptor descriptor) { LocalFree(descriptor); }

}  // namespace platform::win32
