#pragma once
#include <string>

// Whether a file could not be created or could not be written.
enum class FileFailure {
    Create,
    Write,
};

// What the output files tell the capture as it runs, each when it happens.
class IOutputEvents
{
public:
    virtual ~IOutputEvents() = default;
    // A file failed for the first time: path is the folder's path and the file's name, error
    // the errno.
    virtual void OnFileFailure(FileFailure kind, const std::string &path, int error) = 0;
    // The first time files had to give up their descriptors for want of descriptors.
    virtual void OnDescriptorsShort() = 0;
};
