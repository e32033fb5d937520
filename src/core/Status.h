#pragma once
// Outcome of a file step: errors are values, never exceptions.
#include <string>
#include <utility>

namespace kestrel {

enum class FileError {
    None,    // the step succeeded
    Invalid, // the file was read but is not a file of the expected kind
    Io,      // the file could not be opened, read or written; message holds the OS error text
};

struct FileStatus {
    FileError error = FileError::None;
    std::string message; // GBK; for Io the OS error text, for Invalid a short reason
    int osError = 0;     // errno behind an Io status, when there is one
    std::string file;    // GBK; the file the status is about, for messages ("" when message names it)

    // The message as the user sees it: "file: message" when the status knows its file.
    std::string Text() const { return file.empty() ? message : file + ": " + message; }
    // The same status, said about file.
    FileStatus& About(std::string name) {
        file = std::move(name);
        return *this;
    }

    explicit operator bool() const { return error == FileError::None; }
    bool IsInvalid() const { return error == FileError::Invalid; }
    bool IsIo() const { return error == FileError::Io; }

    static FileStatus Ok() { return {}; }
    static FileStatus Invalid(std::string why) { return Of(FileError::Invalid, std::move(why)); }
    static FileStatus Io(std::string osText) { return Of(FileError::Io, std::move(osText)); }
    // Io status from an errno value: the OS error text, as strerror gives it.
    static FileStatus FromErrno(int err);

private:
    static FileStatus Of(FileError kind, std::string text) {
        FileStatus status;
        status.error = kind;
        status.message = std::move(text);
        return status;
    }
};

} // namespace kestrel
