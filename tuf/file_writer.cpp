#include "tuf/file_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
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
// Folders kept open at once; others are opened again by their path when needed.
constexpr std::size_t max_open_folders = 64;

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

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

int sync_file_system(int fd) {
    const SyncfsCall installed = syncfs_call.load();
    return installed != nullptr ? installed(fd) : ::syncfs(fd);
}

// "WHAT : the system's message".
std::string described(std::string what, int error) {
    if (error != 0) what += std::string(" : ") + std::strerror(error);
    return what;
}

}  // namespace

// A batch of staged files with descriptors of their folders of its own, so it can be
// flushed and renamed on a helper thread while the writer goes on.
struct FileWriter::Batch {
    struct Place {
        std::size_t folder;
        int fd;
        dev_t device;
        std::string path;
    };
    std::vector<Staged> files;
    std::vector<Place> places;
    int result = 0;
    std::string failure;

    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        for (const Place& place : places)
            if (place.fd >= 0) ::close(place.fd);
    }

    const Place& place_of(const Staged& file) const {
        return *std::find_if(places.begin(), places.end(), [&file](const Place& place) { return place.folder == file.folder; });
    }

    bool holds(std::size_t folder, std::string_view name) const {
        return std::any_of(files.begin(), files.end(),
                           [&](const Staged& file) { return file.folder == folder && file.name == name; });
    }

    // One syncfs per file system the files lie on (one sync covers them all), then
    // each rename in turn. On a failure, the files not yet renamed are removed.
    void run() {
        std::vector<dev_t> synced;
        for (const Place& place : places) {
            if (std::find(synced.begin(), synced.end(), place.device) != synced.end()) continue;
            synced.push_back(place.device);
            if (place.fd >= 0 && sync_file_system(place.fd) == 0) continue;
            if (place.fd >= 0 && errno == ENOSYS) {
                ::sync();
                break;
            }
            return give_up(0, 3, described("syncfs(" + place.path + ")", errno));
        }
        for (std::size_t i = 0; i < files.size(); ++i) {
            const Place& place = place_of(files[i]);
            if (::renameat(place.fd, files[i].temporary.c_str(), place.fd, files[i].name.c_str()) != 0)
                return give_up(i, 1, described("rename(" + place.path + "/" + files[i].name + ")", errno));
        }
    }

    void give_up(std::size_t from, int code, std::string what) {
        result = code;
        failure = std::move(what);
        for (std::size_t i = from; i < files.size(); ++i)
            ::unlinkat(place_of(files[i]).fd, files[i].temporary.c_str(), 0);
    }
};

void set_write_call_for_testing(WriteCall call) { write_call.store(call); }
void set_syncfs_call_for_testing(SyncfsCall call) { syncfs_call.store(call); }

FileWriter::FileWriter() : FileWriter(Options{}) {}
FileWriter::FileWriter(Options options) : options_(options) {}

FileWriter::~FileWriter() {
    wait();
    abandon();
    discard();
    close_folders();
}

void FileWriter::fail(std::string what) { failure_ = described(std::move(what), errno); }

int FileWriter::begin(const std::string& target) {
    abandon();
    current_ = Staged{target, 0, {}, {}, 0};
    // Where the file goes: the target, or where the symbolic links at its name lead.
    std::string path = target;
    int fd = -1;
    for (int links = 0;; ++links) {
        current_.name = name_of(path);
        const std::string folder = folder_of(path);
        current_.folder = enter_folder(folder);
        fd = current_.folder < folders_.size() ? folder_fd(current_.folder) : -1;
        if (fd < 0 || current_.name.empty()) {
            if (fd >= 0) errno = EISDIR;
            fail("open(" + path + ")");
            return 1;
        }
        if (folders_[current_.folder].fresh) break;
        struct stat status {};
        if (::fstatat(fd, current_.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) break;
            fail("stat(" + path + ")");
            return 1;
        }
        if (S_ISDIR(status.st_mode)) {
            errno = EISDIR;
            fail("open(" + path + ")");
            return 1;
        }
        if (!S_ISLNK(status.st_mode) || !options_.follow_links) break;
        char text[PATH_MAX];
        const ssize_t length = ::readlinkat(fd, current_.name.c_str(), text, sizeof text - 1);
        if (links == max_links || length <= 0) {
            if (links == max_links) errno = ELOOP;
            fail("readlink(" + path + ")");
            return 1;
        }
        const std::string leads_to(text, static_cast<std::size_t>(length));
        path = leads_to[0] == '/' ? leads_to : folder + "/" + leads_to;
    }
    current_.temporary = current_.name + std::string(temporary_suffix);
    // A file of the batch being renamed goes to the same name: that batch first.
    if (in_flight_ && in_flight_->holds(current_.folder, current_.name)) {
        if (const int earlier = wait(); earlier != 0) {
            discard();
            return earlier;
        }
        fd = folder_fd(current_.folder);
    }
    // The same target twice in one batch: the later content wins, as it would on disk.
    const auto earlier = std::find_if(staged_.begin(), staged_.end(), [this](const Staged& file) {
        return file.folder == current_.folder && file.name == current_.name;
    });
    if (earlier != staged_.end()) {
        remove_temporary(*earlier);
        staged_bytes_ -= earlier->bytes;
        staged_.erase(earlier);
        fd = folder_fd(current_.folder);
    }
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::openat(fd, current_.temporary.c_str(), flags, 0600);
    // Something left at the temporary name since the folder was cleared.
    if (fd_ < 0 && errno == EEXIST && ::unlinkat(fd, current_.temporary.c_str(), 0) == 0)
        fd_ = ::openat(fd, current_.temporary.c_str(), flags, 0600);
    if (fd_ < 0) {
        fail("open(" + folders_[current_.folder].path + "/" + current_.temporary + ")");
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
            fail("write(" + current_.target + ")");
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
        fail("close(" + current_.target + ")");
        remove_temporary(current_);
        return 3;
    }
    current_.bytes = written_;
    staged_bytes_ += written_;
    staged_.push_back(std::move(current_));
    if (options_.renames == Renames::in_batches &&
        (staged_bytes_ >= options_.batch_bytes || staged_.size() >= options_.batch_files))
        return hand_off();
    return 0;
}

void FileWriter::abandon() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    remove_temporary(current_);
}

void FileWriter::remove_temporary(const Staged& file) {
    const int fd = folder_fd(file.folder);
    if (fd >= 0) ::unlinkat(fd, file.temporary.c_str(), 0);
}

bool FileWriter::staged(std::string_view target) const {
    const auto named = [target](const Staged& file) { return file.target == target; };
    return std::any_of(staged_.begin(), staged_.end(), named) ||
           (in_flight_ && std::any_of(in_flight_->files.begin(), in_flight_->files.end(), named));
}

// The staged files as a batch; their folders count as changed from now on.
std::unique_ptr<FileWriter::Batch> FileWriter::pack() {
    auto batch = std::make_unique<Batch>();
    for (const Staged& file : staged_) {
        if (std::any_of(batch->places.begin(), batch->places.end(),
                        [&file](const Batch::Place& place) { return place.folder == file.folder; }))
            continue;
        Folder& folder = folders_[file.folder];
        const int fd = folder_fd(file.folder);
        batch->places.push_back({file.folder, fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1, folder.device, folder.path});
        folder.changed = true;
    }
    batch->files = std::move(staged_);
    staged_.clear();
    staged_bytes_ = 0;
    return batch;
}

// The full batch goes to the helper thread once the one before it is done.
int FileWriter::hand_off() {
    if (const int earlier = wait(); earlier != 0) {
        discard();
        return earlier;
    }
    in_flight_ = pack();
    try {
        flusher_ = std::thread([batch = in_flight_.get()] { batch->run(); });
    } catch (const std::system_error&) {
        in_flight_->run();  // no thread to be had: the batch is done here
    }
    return flusher_.joinable() ? 0 : wait();
}

// The result of the batch on the helper thread, once it is done.
int FileWriter::wait() {
    if (flusher_.joinable()) flusher_.join();
    if (!in_flight_) return 0;
    const int result = in_flight_->result;
    if (result != 0) failure_ = in_flight_->failure;
    in_flight_.reset();
    return result;
}

int FileWriter::commit() {
    if (const int earlier = wait(); earlier != 0) {
        discard();
        return earlier;
    }
    if (staged_.empty()) return 0;
    const std::unique_ptr<Batch> batch = pack();
    batch->run();
    if (batch->result != 0) failure_ = batch->failure;
    return batch->result;
}

void FileWriter::discard() {
    wait();
    for (const Staged& file : staged_) remove_temporary(file);
    staged_.clear();
    staged_bytes_ = 0;
}

void FileWriter::directory_made(const std::string& directory) {
    std::string path = directory;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::size_t parent = enter_folder(folder_of(path));
    if (parent < folders_.size()) {
        folders_[parent].changed = true;
        folders_[parent].fresh = false;  // it holds a directory now
    }
    const int fd = ::open(path.c_str(), folder_flags);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0) ::close(fd);
        return;
    }
    if (open_folders_ >= max_open_folders) close_folders();
    folders_.push_back({path, status.st_dev, status.st_ino, fd, false, true});
    ++open_folders_;
}

int FileWriter::finish() {
    const int committed = commit();
    for (std::size_t i = 0; i < folders_.size(); ++i) {
        if (!folders_[i].changed) continue;
        folders_[i].changed = false;
        if (const int fd = folder_fd(i); fd >= 0) ::fsync(fd);
    }
    return committed;
}

// A folder is known by its device and inode, so two spellings of one folder are one.
// The first time a writer enters a folder it removes what an interrupted run left
// there. Beyond the end of folders_ when the folder cannot be opened.
std::size_t FileWriter::enter_folder(const std::string& folder) {
    if (!folders_.empty() && folders_.back().path == folder) return folders_.size() - 1;
    for (std::size_t i = 0; i < folders_.size(); ++i)
        if (folders_[i].path == folder) return i;
    const int fd = ::open(folder.c_str(), folder_flags);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        if (fd >= 0) ::close(fd);
        return folders_.size();
    }
    for (std::size_t i = 0; i < folders_.size(); ++i) {
        if (folders_[i].device != status.st_dev || folders_[i].inode != status.st_ino) continue;
        ::close(fd);
        return i;
    }
    remove_leftovers(fd);
    if (open_folders_ >= max_open_folders) close_folders();
    folders_.push_back({folder, status.st_dev, status.st_ino, fd, false, false});
    ++open_folders_;
    return folders_.size() - 1;
}

void FileWriter::close_folders() {
    for (Folder& folder : folders_) {
        if (folder.fd >= 0) ::close(folder.fd);
        folder.fd = -1;
    }
    open_folders_ = 0;
}

int FileWriter::folder_fd(std::size_t index) {
    Folder& folder = folders_[index];
    if (folder.fd < 0) {
        if (open_folders_ >= max_open_folders) close_folders();
        folder.fd = ::open(folder.path.c_str(), folder_flags);
        if (folder.fd >= 0) ++open_folders_;
    }
    return folder.fd;
}

void FileWriter::remove_leftovers(int folder_fd) {
    const int listing_fd = ::dup(folder_fd);
    DIR* listing = listing_fd >= 0 ? ::fdopendir(listing_fd) : nullptr;
    if (listing == nullptr) {
        if (listing_fd >= 0) ::close(listing_fd);
        return;
    }
    while (const dirent* found = ::readdir(listing)) {
        const std::string_view name = found->d_name;
        if (name.size() <= temporary_suffix.size() || !ends_with(name, temporary_suffix)) continue;
        struct stat status {};
        if (::fstatat(folder_fd, found->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (::unlinkat(folder_fd, found->d_name, 0) == 0) ++leftovers_removed_;
    }
    ::closedir(listing);
}

}  // namespace tuf
