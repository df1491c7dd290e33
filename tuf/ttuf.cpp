#include "tuf/ttuf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "tuf/file_writer.h"
#include "tuf/package_reader.h"

namespace {

// root "/" leaves the name unchanged; any other root is put directly before it.
char* join_target(const char* root, const char* path) {
    const std::size_t root_length = std::strlen(root);
    const std::size_t path_length = std::strlen(path);
    auto* target = static_cast<char*>(std::calloc(root_length + path_length + 2, 1));
    if (target == nullptr) return nullptr;
    if (std::strcmp(root, "/") == 0) {
        std::memcpy(target, path, path_length);
    } else {
        std::memcpy(target, root, root_length);
        std::memcpy(target + root_length, path, path_length);
    }
    return target;
}

// The directory step. A name for which the writer holds a file not yet renamed into
// place counts as taken, as the file would be there had it been written in place.
int create_dir(tuf::FileWriter* writer, const char* root, const char* path) {
    char* target = join_target(root, path);
    if (target == nullptr) return 6;
    struct stat status {};
    int result = 0;
    if ((writer == nullptr || !writer->staged(target)) && ::stat(target, &status) != 0) {
        if (::mkdir(target, 0777) != 0)
            result = 9;
        else if (writer != nullptr)
            writer->directory_made(target);
    }
    std::free(target);
    return result;
}

// Copies at most width - 1 characters, so the field always keeps a terminating NUL.
void put_text(char* field, std::size_t width, const char* text) {
    if (text == nullptr) return;
    for (std::size_t i = 0; i + 1 < width && text[i] != '\0'; ++i) field[i] = text[i];
}

// A field without a NUL is printed up to the field's end, never beyond.
int printable(const char* field, std::size_t width) {
    return static_cast<int>(tuf::field_text(field, width).size());
}

// The walk of the entries; the reader stands at the first record. 0 at the end of the
// package, otherwise the extraction's code.
int lay_down(tuf::PackageReader& reader, const char* root, tuf::FileWriter& writer, tuf::EntryBuffers& buffers) {
    tuf::Entry entry;
    for (;;) {
        const tuf::WalkResult walk = tuf::next_entry(reader, entry);
        if (walk.step == tuf::WalkStep::read_error) return 2;
        if (walk.step == tuf::WalkStep::end) return 0;

        char name[sizeof entry.record.name + 1];
        const std::string_view name_text = entry.name();
        std::memcpy(name, name_text.data(), name_text.size());
        name[name_text.size()] = '\0';

        if (entry.is_directory()) {
            const int created = create_dir(&writer, root, name);
            std::printf("+ Create dir  : (%02d) %s\n", created, name);
            if (created != 0) return 9;
            continue;
        }
        // A file. Missing or damaged data (2, 6, 8) ends the walk before the file's line;
        // a target that cannot be made or written shows its code in the line.
        char* target = join_target(root, name);
        if (target == nullptr) {
            std::printf("+ Create file : (06) %s\n", name);
            return 10;
        }
        tuf::TargetSink sink(writer, target);
        std::free(target);
        int created = tuf::copy_file_data(reader, entry, buffers, sink);
        if (created != 0) {
            writer.abandon();
            if (sink.failure() == 0) {
                if (created == 6) std::printf("Error : not enough memory for %s\n", name);
                return created;
            }
        } else if ((created = writer.end()) != 0) {
            // This file, or an earlier one of its batch, could not be put in place.
            std::printf("+ Create file : (%02d) %s\nError : %s\n", created, name, writer.failure().c_str());
            return 10;
        }
        std::printf("+ Create file : (%02d) %s\n", created, name);
        if (created != 0) return 10;
        if (!tuf::finish_entry(reader, entry)) return 4;
    }
}

}  // namespace

int tuf_is_tuf_file(const char* path, HEADTUFFILE* header) {
    assert(path != nullptr);
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return 1;
    unsigned char raw[tuf::header_size];
    const std::size_t got = std::fread(raw, 1, sizeof raw, file);
    std::fclose(file);
    if (got != sizeof raw) return 2;
    if (std::memcmp(raw, "TUF", 3) != 0) return 7;
    if (header != nullptr) tuf::decode_header(raw, *header);
    return 0;
}

int tuf_create_dir(const char* root, const char* path) {
    assert(root != nullptr);
    assert(path != nullptr);
    return create_dir(nullptr, root, path);
}

int tuf_create_file(const char* root, const char* path, const void* content, std::size_t length) {
    assert(root != nullptr);
    assert(path != nullptr);
    char* target = join_target(root, path);
    if (target == nullptr) return 6;
    tuf::FileWriter writer;
    int result = writer.begin(target);
    std::free(target);
    if (result == 0 && content != nullptr && length > 0) result = writer.write(content, length);
    if (result == 0) result = writer.end();
    if (result == 0) result = writer.finish();
    return result;
}

int do_cmd(const char* cmd) { return std::system(cmd); }

namespace {

void print_info(const char* path, const HEADTUFFILE& header) {
    std::printf("TUF File Info: %s\n", path);
    std::printf("\t+ ID       : %.*s\n", printable(header.id, sizeof header.id), header.id);
    std::printf("\t+ Version  : %.*s\n", printable(header.version, sizeof header.version), header.version);
    std::printf("\t+ Command  : %.*s\n", printable(header.command, sizeof header.command), header.command);
}

// Offsets of 2^31 and above are refused alike on 32-bit and 64-bit builds.
bool seek_to_data(tuf::PackageReader& reader, const HEADTUFFILE& header) {
    if (header.data_offset < tuf::max_data_offset && reader.seek(header.data_offset)) {
        std::printf("Extracting data ... \n");
        return true;
    }
    std::printf("Error seek to begin data\n");
    return false;
}

// Puts in place what the writer holds (10 when that fails) and syncs the folders.
int finish_writer(tuf::FileWriter& writer, int result) {
    if (writer.finish() != 0) {
        std::printf("Error : %s\n", writer.failure().c_str());
        if (result == 0) result = 10;
    }
    if (writer.leftovers_removed() > 0)
        std::printf("Removed temporary files of an interrupted upgrade : %zu\n", writer.leftovers_removed());
    return result;
}

void run_command(const HEADTUFFILE& header) {
    if (header.command[0] == '\0') return;
    char command[sizeof header.command + 1];
    const std::string_view command_text = tuf::field_text(header.command, sizeof header.command);
    std::memcpy(command, command_text.data(), command_text.size());
    command[command_text.size()] = '\0';
    std::fflush(stdout);
    const int status = do_cmd(command);
    std::printf("+ Do command : (%02d) %s\n", status, command);
}

}  // namespace

int tuf_extract(const char* path, const char* root) {
    if (path == nullptr || root == nullptr) return 11;
    HEADTUFFILE header;
    const int checked = tuf_is_tuf_file(path, &header);
    if (checked != 0) return checked;
    print_info(path, header);

    tuf::PackageReader reader;
    if (!reader.open(path)) {
        std::printf("Can not open file : %s\n", path);
        return 1;
    }
    if (!seek_to_data(reader, header)) return 4;

    tuf::FileWriter writer;
    tuf::EntryBuffers buffers;
    // Nothing is rolled back: the files staged before a failure are laid down too.
    const int result = finish_writer(writer, lay_down(reader, root, writer, buffers));
    if (result != 0) return result;
    // The command may need the memory the last entry took.
    buffers.release();
    run_command(header);
    return 0;
}

int tuf_extract_checked(const char* path, const char* root, tuf::PackageCheck& check) {
    if (path == nullptr || root == nullptr) return 11;
    tuf::PackageReader reader;
    if (!reader.open(path, &check)) {
        std::printf("Can not open file : %s\n", path);
        return 1;
    }
    unsigned char raw[tuf::header_size];
    if (reader.read(raw, sizeof raw) != sizeof raw) return 2;
    if (std::memcmp(raw, "TUF", 3) != 0) return 7;
    HEADTUFFILE header;
    tuf::decode_header(raw, header);
    print_info(path, header);
    if (!check.accept_header(header)) return tuf_refused;

    tuf::FileWriter::Options staging;
    staging.renames = tuf::FileWriter::Renames::on_commit;
    tuf::FileWriter writer(staging);
    tuf::EntryBuffers buffers;
    int result = seek_to_data(reader, header) ? lay_down(reader, root, writer, buffers) : 4;
    // The check covers the whole file, whatever lies after the last entry. A package
    // whose bytes stop the walk (cut short, a stream that does not inflate) is read to
    // its end all the same, so that the check can say when it is not the one signed.
    if (result == 0 || result == 2 || result == 4 || result == 8) {
        const bool whole = reader.read_to_end();
        if (!whole && result == 0) result = 2;
        if (whole && !check.accept_whole() && result == 0) result = tuf_refused;
    }
    // Nothing of a refused or failed package is put in place.
    if (result != 0) writer.discard();
    result = finish_writer(writer, result);
    if (result != 0) return result;
    buffers.release();
    run_command(header);
    return 0;
}

int do_add(const char* root, const char* path, int flag, const char* sub) {
    assert(root != nullptr);
    assert(path != nullptr);
    (void)flag;
    (void)sub;
    return 100;
}

int tuf_compress(const char* root, const char* path, const char* id, const char* version, const char* command,
                 int flag) {
    assert(root != nullptr);
    assert(path != nullptr);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        std::printf("Can not create file : %s\n", path);
        return 1;
    }
    HEADTUFFILE header{};
    std::memcpy(header.magic, "TUF", 3);
    header.data_offset = tuf::header_size;
    put_text(header.id, sizeof header.id, id);
    put_text(header.version, sizeof header.version, version);
    put_text(header.command, sizeof header.command, command);
    unsigned char raw[tuf::header_size];
    tuf::encode_header(header, raw);
    if (!tuf::write_all(fd, raw, sizeof raw)) {
        ::close(fd);
        return 3;
    }
    ::close(fd);
    std::printf("Compressing data ... \n");
    return do_add(root, path, flag != 0 ? 1 : 0, nullptr);
}

int tuf_ver(char* str, int len) {
    assert(str != nullptr);
    assert(len > 1);
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%s - %s", "LINUX", "10.12.14");
    for (int i = 0; i < len - 1; ++i) str[i] = i < length ? text[i] : '\0';
    str[len - 1] = '\0';
    return len > length ? 0 : 1;
}
