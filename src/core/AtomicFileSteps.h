#pragma once
// The boundaries between the system calls of a regular file's save, for tests that stop a
// save at each one in turn. The product never sets an observer.
namespace kestrel {

enum class AtomicWriteStep {
    kStaleRemoved,  // temporaries of killed saves removed from the folder
    kTemporaryOpen, // the temporary exists (unnamed where the file system allows it)
    kLocked,        // its lock is held
    kWritten,       // the bytes are in it
    kModeSet,       // the permission bits are set
    kSynced,        // it is on disk
    kNamed,         // an unnamed temporary got its name
    kRenamed,       // it has replaced the file
    kClosed,        // its descriptor is closed
};

using AtomicWriteObserver = void (*)(AtomicWriteStep step);

// Installs observer (nullptr: none); it is called at every boundary of every later save.
void SetAtomicWriteObserver(AtomicWriteObserver observer);

} // namespace kestrel
