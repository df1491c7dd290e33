// The one place that turns bytes into files. A file is never written where it will
// live: its content goes to a temporary file beside the target ("NAME.tuf-new" in
// the target's folder), which gets its mode, reaches the storage, and only then is
// renamed over the target. A power cut therefore leaves every target wholly old or
// wholly new, and a failure (read, inflation, write, no space) leaves the old
// content and no temporary file. Nothing already at a target's name is ever opened
// or written through: a hard link, a device node or a FIFO there is replaced by name.
//
// Flushing file by file would cost one journal commit per file, so files are
// flushed in batches: a batch of temporaries (bounded in bytes and in count, which
// bounds the extra room they take on the flash) is flushed with one syncfs (one
// sync where the kernel has no syncfs, as before 2.6.39), then each is renamed.
// While one batch is flushed and renamed on a helper thread, the next is written:
// the flash writes while the card is read and the data inflated.
// A cut before the flush leaves only temporaries, which the next writer to touch
// their folder removes; a cut after it leaves every renamed file whole.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <string_view>
#include <utility>
#include <vector>

#include "tuf/package_reader.h"

namespace tuf {

// Staging a whole package (a signed one, whose files may be put in place only once the
// signature over all its bytes holds): a writer with Renames::on_commit; each file is
// begun, written and ended while the package is read and hashed, then commit() puts
// them all in place, in package order, after one flush, and finish() syncs their
// folders; or discard() (or the destructor) removes them all and nothing has changed.
// The flash then needs room for the whole package beside the files it replaces.

// A temporary file is its target's name with this suffix, in the target's folder.
inline constexpr std::string_view temporary_suffix = ".tuf-new";

// Status codes, as the extraction's: 0 success, 1 the file cannot be made at its
// target, 3 its content cannot be written or flushed.
class FileWriter {
public:
    enum class Renames {
        in_batches,  // a batch is flushed and renamed as soon as it is full, the rest by finish()
        on_commit,   // nothing is renamed before commit(): a whole package can be staged first
    };
    struct Options {
        Renames renames = Renames::in_batches;
        std::uint64_t batch_bytes = std::uint64_t{16} << 20;
        std::size_t batch_files = 1024;
        // A symbolic link at a target: true replaces the file it leads to (as opening the
        // name would have written there); false replaces the link itself.
        bool follow_links = true;
    };

    FileWriter();
    explicit FileWriter(Options options);
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    // Abandons an open file and discards everything staged: nothing is renamed
    // unless commit() or finish() says so.
    ~FileWriter();

    // One file: begin, write (any number of times), end; or abandon at any point.
    // begin: 1 when the folder is missing, the target is a directory or the
    // temporary cannot be made. write: 3 when the bytes cannot be written (the file
    // is then to be abandoned). end: 3 when the file cannot be closed. In batches,
    // when the file fills its batch, end hands the batch to the helper thread and
    // returns the result of the batch before it (1 or 3, as commit).
    int begin(const std::string& target);
    int write(const void* data, std::size_t length);
    int end();
    void abandon();

    // True when a file for `target` (as given to begin) is staged and not yet renamed.
    bool staged(std::string_view target) const;

    // Flushes every staged file and renames each over its target, in the order they
    // were begun. 3 when the flush fails (every staged file is then removed); 1 when a
    // rename fails (that file and those after it are removed, those before it stay).
    // A batch that failed on the helper thread is reported here, or by the next end
    // or begin, and every file after it is removed.
    int commit();
    // Removes every staged file; their targets keep their old content.
    void discard();
    // commit(), then syncs every folder where a file was renamed or a directory made
    // (directory_made), so the new names themselves survive a power cut.
    int finish();
    // A directory made beside this writer: its folder is synced by finish().
    void directory_made(const std::string& directory);

    // Temporary files left by an interrupted run and removed from the folders this
    // writer touched.
    std::size_t leftovers_removed() const { return leftovers_removed_; }
    // What failed, for a diagnostic line: "rename(TARGET)", "syncfs(FOLDER)", ...
    const std::string& failure() const { return failure_; }

private:
    struct Staged {
        std::string target;     // as given to begin
        std::size_t folder;     // index in folders_ of the folder the file goes to
        std::string name;       // its name there (a followed link's destination)
        std::string temporary;  // the temporary's name there
        std::uint64_t bytes;
    };
    // Names are looked up from an open folder: a path walked once per folder, not
    // once per call.
    struct Folder {
        std::string path;
        dev_t device;
        ino_t inode;
        int fd;
        bool changed;
        // Made beside this writer and holding only its files: nothing at a name there
        // needs looking at, and no temporary of an earlier run can be there.
        bool fresh;
    };

    struct Batch;

    std::size_t enter_folder(const std::string& folder);
    std::unique_ptr<Batch> pack();
    int hand_off();
    int wait();
    int folder_fd(std::size_t index);
    void close_folders();
    void remove_leftovers(int folder_fd);
    void start_writeback();
    void remove_temporary(const Staged& file);
    void fail(std::string what);

    Options options_;
    std::vector<Staged> staged_;
    std::unique_ptr<Batch> in_flight_;  // owned by flusher_ until it is joined, but for reads
    std::thread flusher_;
    std::vector<Folder> folders_;
    std::size_t open_folders_ = 0;
    std::uint64_t staged_bytes_ = 0;
    std::size_t leftovers_removed_ = 0;
    std::string failure_;

    // The file being written.
    int fd_ = -1;
    Staged current_;
    std::uint64_t written_ = 0;
    std::uint64_t handed_to_writeback_ = 0;
    std::uint64_t written_back_ = 0;
    bool writeback_control_ = true;
};

// Hands an entry's content (copy_file_data) to a new file at `target`. failure() is
// the writer's code when the writer refused, 0 otherwise.
class TargetSink final : public ContentSink {
public:
    TargetSink(FileWriter& writer, std::string target) : writer_(writer), target_(std::move(target)) {}
    int start() override { return failure_ = writer_.begin(target_); }
    int put(const unsigned char* data, std::size_t length) override { return failure_ = writer_.write(data, length); }
    int failure() const { return failure_; }

private:
    FileWriter& writer_;
    std::string target_;
    int failure_ = 0;
};

// The system calls a writer makes that tests replace to provoke failures (a full
// device, an I/O error, a kernel without syncfs). Null puts back the system's.
using SyncfsCall = int (*)(int fd);
void set_write_call_for_testing(WriteCall call);
void set_syncfs_call_for_testing(SyncfsCall call);

}  // namespace tuf
