#pragma once

#include "platform/Platform.h"

namespace platform::win32 {

// Libraries loaded after this call come from the system folder only, never from the
// launcher's folder. Looked up at run time, since older systems lack it; failure is ignored.
void RestrictLibrarySearchToSystemFolder();

// RedirectionGuard (PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY, EnforceRedirectionTrust):
// Microsoft documents it as keeping the process from following filesystem junctions created by
// non-admin users, and says nothing of the processes it starts. Public reports (one with a
// reproducer) say children inherit it, so powershell.exe and provtool.exe would run under it:
// unconfirmed until ppkg-verify's redirection-guard-child shows it on a machine. Which releases
// know the policy is not documented (reported: Windows 10 22H2 and Windows 11); elsewhere the call
// fails.
// The report path follows no link and does not rely on it; it is kept for the launcher's other
// file work (the temp report's folder), where a junction a non-administrator made is refused,
// and it costs one call.
struct RedirectionGuard {
    bool applied = false;
    std::uint32_t error = 0;   // why not, when not
};
RedirectionGuard RefuseUntrustedJunctions();

// The shipped implementation: each operation is the Win32 call its declaration names,
// with every handle, search, key and descriptor owned until it is released.
class Win32Platform final : public Platform {
public:
    // Registers the launcher's trace provider (EventRegister), and unregisters it again.
    Win32Platform();
    ~Win32Platform() override;
    Win32Platform(const Win32Platform&) = delete;
    Win32Platform& operator=(const Win32Platform&) = delete;
    Win32Platform(Win32Platform&&) = delete;
    Win32Platform& operator=(Win32Platform&&) = delete;

    std::optional<std::vector<std::u16string>> SplitCommandLine(const std::u16string& commandLine) override;
    std::optional<std::string> SystemFolder() override;
    ChildProcess RunHiddenCommand(const std::string& application, const std::string& commandLine) override;

    std::uint32_t TempFolder(char* buffer, std::uint32_t size) override;
    void SeedRandomFromClock() override;
    int NextRandom() override;
    AnsiCodePage QueryAnsiCodePage() override;
    ReserveResult ReserveFile(const std::string& path, std::string_view content) override;
    ReadResult ReadWholeFile(const std::string& path, std::size_t maxBytes, FileBytes& bytes) override;
    bool RemoveFile(const std::string& path) override;

    bool WriteRegistryString(const std::u16string& keyPath, const std::u16string& valueName,
                             const std::u16string& text) override;
    bool DeleteRegistryTree(const std::u16string& keyPath) override;

    Descriptor BuildDescriptor(const std::u16string& sddl) override;
    void FreeDescriptor(Descriptor descriptor) override;
    std::optional<std::u16string> CurrentDirectory() override;
    std::optional<std::u16string> DriveDirectory(char16_t drive) override;
    std::optional<std::u16string> DeviceLink(const std::u16string& name) override;
    FileHandle OpenRoot(const std::u16string& root, const OpenRequest& request) override;
    FileHandle OpenChild(FileHandle parent, const std::u16string& name, const OpenRequest& request) override;
    FileHandle CreateChildDirectory(FileHandle parent, const std::u16string& name, const OpenRequest& request,
                                    const SecurityAttributes& security) override;
    FileHandle CreateChildFile(FileHandle parent, const std::u16string& name, const OpenRequest& request,
                               const SecurityAttributes& security) override;
    std::optional<HandleInfo> QueryHandle(FileHandle file) override;
    std::optional<std::u16string> QueryName(FileHandle entry) override;
    std::optional<VolumeInfo> QueryVolume(FileHandle entry) override;
    Descriptor ReadAccessList(FileHandle entry) override;
    bool WriteAccessList(FileHandle entry, Descriptor descriptor) override;
    bool MarkForDeletion(FileHandle entry) override;
    bool WriteBytes(FileHandle file, const void* data, std::uint32_t size) override;
    bool FlushFile(FileHandle file) override;
    bool RenameInto(FileHandle file, FileHandle folder, const std::u16string& name) override;
    void CloseFile(FileHandle file) override;

    std::uint32_t LastError() override { return lastError_; }
    void Trace(const TraceEvent& event) override;

private:
    // Each failing operation keeps its error here at once, before any release or clean-up on the
    // way out can overwrite the thread's last error.
    bool Fail(std::uint32_t error) {
        lastError_ = error;
        return false;
    }
    FileHandle FailOpen(std::uint32_t error) {
        lastError_ = error;
        return kNoFile;
    }

    std::uint32_t lastError_ = 0;
    std::uint64_t provider_ = 0;   // REGHANDLE; 0 when the registration failed
};

}  // namespace platform::win32
