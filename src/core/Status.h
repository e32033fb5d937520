#pragma once
// Outcome of a file step: errors are values, never exceptions.
#include "core/Result.h"

#include <string>
#include <utility>

namespace kestrel {

enum class FileErrorKind {
    Invalid, // the file was read but is not a file of the expected kind
    Io,      // the file could not be opened, read or written; message holds the OS error text
};

// Why a file step failed.
struct FileError {
    FileErrorKind kind = FileErrorKind::Io;
    std::string message; // GBK; for Io the OS error text, for Invalid a short reason
    int osError = 0;     // errno behind an Io error, when there is one
    std::string file;    // GBK; the file the error is about, for messages ("" when message names it)

    // The message as the user sees it: "file: message" when the error knows its file.
    std::string Text() const { return file.empty() ? message : file + ": " + message; }
    // The same error, said about file.
    FileError& About(std::string name) {
        file = std::move(name);
        return *this;
    }

    bool IsInvalid() const { return kind == FileErrorKind::Invalid; }
    bool IsIo() const { return kind == FileErrorKind::Io; }

    static FileError Invalid(std::string why) { return Of(FileErrorKind::Invalid, std::move(why)); }
    static FileError Io(std::string osText) { return Of(FileErrorKind::Io, std::move(osText)); }
    // Io error from an errno value: the OS error text, as strerror gives it.
    static FileError FromErrno(int err);

private:
    static FileError Of(FileErrorKind kind, std::string text) {
        FileError error;
        error.kind = kind;
        error.message = std::move(text);
        return error;
    }
};

using FileStatus = Result<void, FileError>;

// Whether a file step failed for that kind of reason; a step that succeeded did neither.
inline bool IsInvalidFailure(const FileStatus& status) {
    return !status && status.error().IsInvalid();
}
inline bool IsIoFailure(const FileStatus& status) {
    return !status && status.error().IsIo();
}

// status, its failure (if any) said about the file name.
inline FileStatus AboutFile(FileStatus status, std::string name) {
    if (!status)
        status.error().About(std::move(name));
    return status;
}

} // namespace kestrel
