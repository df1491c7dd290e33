#include "tuf/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tuf {

namespace {

std::atomic<WriteCall> write_call{nullptr};
std::atomic<SyncfsCall> syncfs_call{nullptr};

// Write-back of a file being written is started every `writeback_step` bytes, and the
// writer waits for what lies more than `writeback_window` behind: the flash writes
// while the next pieces are read and inflated, the final flush finds little left to
// do, and the dirty pages of one large file stay few on a small device.
constexpr std::uint64_t writeback_step = std::uint64_t{1} << 20;
constexpr std::uint64_t writeback_window = std::uint64_t{8} << 20;

// Symbolic links followed at most, as the kernel does (ELOOP).
constexpr int max_links = 40;

bool ends_with(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The folder part of a path ("." for a bare name) and the last name.
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a file for `target` goes: the target itself, or where its symbolic links lead.
// False when the target is a directory or the links go round in circles.
bool destination(const std::string& target, bool follow_links, std::string& path) {
    path = target;
    for (int links = 0;; ++links) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) return true;  // nothing there yet
        if (S_ISDIR(status.st_mode)) return false;
        if (!S_ISLNK(status.st_mode) || !follow_links) return true;
        if (links == max_links) return false;
        char text[PATH_MAX];
        const ssize_t length = ::readlink(path.c_str(), text, sizeof text - 1);
        if (length <= 0) return false;
        const std::string leads_to(text, static_cast<std::size_t>(length));
        path = leads_to[0] == '/' ? leads_to : folder_of(path) + "/" + leads_to;
    }
}

int sync_file_system(int fd) {
    const SyncfsCall installed = syncfs_call.load();
    return installed != nullptr ? installed(fd) : ::syncfs(fd);
}

}  // namespace

void set_write_call_for_testing(WriteCall call) { write_call.store(call); }
void set_syncfs_call_for_testing(SyncfsCall call) { syncfs_call.store(call); }

FileWriter::FileWriter() : FileWriter(Options{}) {}
FileWriter::FileWriter(Options options) : options_(options) {}

FileWriter::~FileWriter() {
    abandon();
    discard();
}

void FileWriter::fail(std::string what) {
    failure_ = std::move(what);
    const int error = errno;
    if (error != 0) failure_ += std::string(" : ") + std::strerror(error);
}

int FileWriter::begin(const std::string& target) {
    abandon();
    current_ = Staged{target, {}, {}, 0, 0};
    if (name_of(target).empty() || !destination(target, options_.follow_links, current_.path)) {
        errno = EISDIR;
        fail("open(" + target + ")");
        return 1;
    }
    current_.folder = enter_folder(folder_of(current_.path));
    current_.temporary = current_.path + std::string(temporary_suffix);
    // The same target twice in one batch: the later content wins, as it would on disk.
    const auto earlier = std::find_if(staged_.begin(), staged_.end(),
                                      [this](const Staged& file) { return file.temporary == current_.temporary; });
    if (earlier != staged_.end()) {
        ::unlink(earlier->temporary.c_str());
        staged_bytes_ -= earlier->bytes;
        staged_.erase(earlier);
    }
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::open(current_.temporary.c_str(), flags, 0600);
    // Something left at the temporary name since the folder was cleared.
    if (fd_ < 0 && errno == EEXIST && ::unlink(current_.temporary.c_str()) == 0)
        fd_ = ::open(current_.temporary.c_str(), flags, 0600);
    if (fd_ < 0) {
        fail("open(" + current_.temporary + ")");
        return 1;
    }
    written_ = handed_to_writeback_ = written_back_ = 0;
    return 0;
}

int FileWriter::write(const void* data, std::size_t length) {
    assert(fd_ >= 0);
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        // In steps, so write-back starts while the rest is still being written.
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(length, writeback_step));
        errno = 0;
        if (!write_all(fd_, bytes, part, write_call.load())) {
            if (errno == 0) errno = ENOSPC;
            fail("write(" + current_.temporary + ")");
            return 3;
        }
        bytes += part;
        length -= part;
        written_ += part;
        if (written_ - handed_to_writeback_ >= writeback_step) start_writeback();
    }
    return 0;
}

void FileWriter::start_writeback() {
    if (!writeback_control_) return;
    const auto from = static_cast<off_t>(handed_to_writeback_);
    if (::sync_file_range(fd_, from, static_cast<off_t>(written_ - handed_to_writeback_), SYNC_FILE_RANGE_WRITE) != 0) {
        writeback_control_ = false;  // not on this kernel or file system: the flush does it all
        return;
    }
    handed_to_writeback_ = written_;
    if (handed_to_writeback_ - written_back_ > writeback_window) {
        const std::uint64_t until = handed_to_writeback_ - writeback_window;
        ::sync_file_range(fd_, static_cast<off_t>(written_back_), static_cast<off_t>(until - written_back_),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        written_back_ = until;
    }
}

int FileWriter::end() {
    assert(fd_ >= 0);
    // Read, write and execute for everyone, whatever the creation mask.
    ::fchmod(fd_, 0777);
    if (written_ >= writeback_step && written_ > handed_to_writeback_) start_writeback();
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) {
        fail("close(" + current_.temporary + ")");
        ::unlink(current_.temporary.c_str());
        return 3;
    }
    current_.bytes = written_;
    staged_bytes_ += written_;
    staged_.push_back(std::move(current_));
    if (options_.renames == Renames::in_batches &&
        (staged_bytes_ >= options_.batch_bytes || staged_.size() >= options_.batch_files))
        return commit();
    return 0;
}

void FileWriter::abandon() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    ::unlink(current_.temporary.c_str());
}

bool FileWriter::staged(std::string_view target) const {
    return std::any_of(staged_.begin(), staged_.end(), [target](const Staged& file) { return file.target == target; });
}

int FileWriter::flush() {
    // One syncfs per file system the batch lies on; one sync covers them all.
    std::vector<dev_t> done;
    for (const Staged& file : staged_) {
        const Folder& folder = folders_[file.folder];
        if (std::find(done.begin(), done.end(), folder.device) != done.end()) continue;
        done.push_back(folder.device);
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            fail("open(" + folder.path + ")");
            return 3;
        }
        const int synced = sync_file_system(fd);
        const int error = errno;
        ::close(fd);
        if (synced == 0) continue;
        if (error == ENOSYS) {
            ::sync();
            return 0;
        }
        errno = error;
        fail("syncfs(" + folder.path + ")");
        return 3;
    }
    return 0;
}

int FileWriter::commit() {
    if (staged_.empty()) return 0;
    if (const int flushed = flush(); flushed != 0) {
        discard();
        return flushed;
    }
    for (std::size_t i = 0; i < staged_.size(); ++i) {
        Staged& file = staged_[i];
        if (::rename(file.temporary.c_str(), file.path.c_str()) != 0) {
            fail("rename(" + file.temporary + ", " + file.path + ")");
            staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(i));
            discard();
            return 1;
        }
        folders_[file.folder].changed = true;
    }
    staged_.clear();
    staged_bytes_ = 0;
    return 0;
}

void FileWriter::discard() {
    for (const Staged& file : staged_) ::unlink(file.temporary.c_str());
    staged_.clear();
    staged_bytes_ = 0;
}

void FileWriter::directory_made(const std::string& directory) {
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    folders_[enter_folder(folder_of(path))].changed = true;
}

int FileWriter::finish() {
    const int committed = commit();
    for (Folder& folder : folders_) {
        if (!folder.changed) continue;
        folder.changed = false;
        const int fd = ::open(folder.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) continue;
        ::fsync(fd);
        ::close(fd);
    }
    return committed;
}

// A folder is known by its device and inode, so two spellings of one folder are one.
// The first time a writer enters a folder it removes what an interrupted run left there.
std::size_t FileWriter::enter_folder(const std::string& folder) {
    if (!folders_.empty() && folders_.back().path == folder) return folders_.size() - 1;
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0) status = {};
    for (std::size_t i = 0; i < folders_.size(); ++i)
        if (folders_[i].path == folder ||
            (status.st_ino != 0 && folders_[i].device == status.st_dev && folders_[i].inode == status.st_ino))
            return i;
    if (S_ISDIR(status.st_mode)) remove_leftovers(folder);
    folders_.push_back({folder, status.st_dev, status.st_ino, false});
    return folders_.size() - 1;
}

void FileWriter::remove_leftovers(const std::string& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return;
    const int fd = ::dirfd(listing);
    while (const dirent* found = ::readdir(listing)) {
        const std::string_view name = found->d_name;
        if (name.size() <= temporary_suffix.size() || !ends_with(name, temporary_suffix)) continue;
        struct stat status {};
        if (::fstatat(fd, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) continue;
        if (::unlinkat(fd, found->d_name, 0) == 0) ++leftovers_removed_;
    }
    ::closedir(listing);
}

}  // namespace tuf
