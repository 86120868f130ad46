#pragma once

#include <utility>

#include "platform/Platform.h"

// Unique owners for what the launcher's own code obtains through the platform. Each one
// releases through the platform that handed the resource out, on every way out of a scope.
namespace platform {

class UniqueFile {
public:
    UniqueFile(Platform& os, FileHandle file) : os_(&os), file_(file) {}
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : os_(other.os_), file_(std::exchange(other.file_, kNoFile)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            reset();
            os_ = other.os_;
            file_ = std::exchange(other.file_, kNoFile);
        }
        return *this;
    }
    ~UniqueFile() { reset(); }
    FileHandle get() const { return file_; }
    explicit operator bool() const { return file_ != kNoFile; }
    void reset() {
        if (file_ != kNoFile) os_->CloseFile(std::exchange(file_, kNoFile));
    }

private:
    Platform* os_;
    FileHandle file_;
};

class UniqueDescriptor {
public:
    UniqueDescriptor(Platform& os, Descriptor descriptor) : os_(&os), descriptor_(descriptor) {}
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
    UniqueDescriptor(UniqueDescriptor&&) = delete;
    UniqueDescriptor& operator=(UniqueDescriptor&&) = delete;
    ~UniqueDescriptor() {
        if (descriptor_ != nullptr) os_->FreeDescriptor(descriptor_);
    }
    Descriptor get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ != nullptr; }

private:
    Platform* os_;
    Descriptor descriptor_;
};

}  // namespace platform
