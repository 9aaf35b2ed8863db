#pragma once
// The database holds password digests and TSIG secrets, and the files SQLite keeps beside it (-wal, -shm,
// -journal) hold the same pages: they are the owner's alone, whatever the umask. SQLite gives its journal
// files the database's mode (and, run by root, its owner), so getting the database right is most of it.

#include <string>
#include <vector>

namespace provider {

// Before SQLite opens `path`: creates it 0600 when missing (owned by the directory's owner when root
// creates it in another user's directory, so that an administration command run by root leaves the
// server able to open it), and takes group and other permissions away from it and from its journal
// files where an earlier version or a copy left them. Works on descriptors, never on paths that could
// have changed in between, and once per process and path: before this process's first SQLite connection
// to the file, since closing any descriptor of it would drop the locks SQLite holds. False with a reason when the file cannot be made or is not a regular file;
// `notes` gets one line for each file tightened, or left loose because this user may not change it.
bool PrepareDatabaseFile(const std::string& path, std::string& error, std::vector<std::string>& notes);

}  // namespace provider
