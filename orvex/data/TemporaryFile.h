#pragma once
// A new file beside the file it is to replace, removed again unless it takes its name.

#include <string>
#include <system_error>

namespace orvex {

class TemporaryFile {
public:
    // Creates, in the folder open as `folder`, a file named after `target` followed by
    // ".tmp-" and six random characters (the part taken from `target` cut, at a UTF-8
    // character boundary, so that the name fits the folder's name limit), exclusively,
    // never through a link, readable by its owner only, and opens it for reading and writing.
    TemporaryFile(int folder, const std::string& target);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Why the file could not be created; empty when it was.
    std::error_code error() const { return error_; }

    // The open file, open until the object goes.
    int descriptor() const { return descriptor_; }

    // What closing the file would report (a file system that writes on close reports its
    // errors then), the file staying open.
    std::error_code flush() const;

    // Renames the file over `target` in the same folder.
    std::error_code renameOver(const std::string& target);

    // Gives the file the name `target` in the same folder, where nothing holds it: EEXIST
    // where something does.
    std::error_code renameAsNew(const std::string& target);

private:
    int folder_;
    std::string name_;
    int descriptor_ = -1;
    std::error_code error_;
    bool renamed_ = false;
};

} // namespace orvex
