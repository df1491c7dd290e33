// tufpkg: makes, lists, checks and previews TUF packages on a build host.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "tool_support.h"
#include "upg_version.h"

namespace {

const char usage[] =
    "Usage: tufpkg COMMAND [ARGS]\n"
    "Make and inspect TUF upgrade packages.\n"
    "\n"
    "Commands:\n"
    "  create -o PKG --id ID --version VER [OPTION...] DIR\n"
    "                       pack the tree under DIR into the package PKG\n"
    "  list PKG [--json]    show the header, every entry and what the device needs\n"
    "  check PKG [--key PUB] [--json] [--quiet]\n"
    "                       walk the whole package and report every problem\n"
    "  extract PKG DIR      lay the package down inside DIR (never runs its command)\n"
    "  verify PKG --key PUB [--json]\n"
    "                       check the minisign signature PKG.minisig with the key PUB\n"
    "\n"
    "Package IDs: QX4170 (program), MAP4170 (map), USERMAP (user map).\n"
    "'tufpkg COMMAND --help' describes one command; 'tufpkg --version' prints the version.\n"
    "Exit status: 0 success, 1 a problem was found (or standard output could not be\n"
    "written), 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(usage, stderr);
        return tufpkg::exit_usage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(usage, stdout);
        return tufpkg::finish_output("") ? tufpkg::exit_ok : tufpkg::exit_problem;
    }
    if (command == "--version") {
        std::fputs("tufpkg " UPG_VERSION "\n", stdout);
        return tufpkg::finish_output("") ? tufpkg::exit_ok : tufpkg::exit_problem;
    }
    int (*run)(int, char**) = nullptr;
    if (command == "create") run = tufpkg::run_create;
    if (command == "list") run = tufpkg::run_list;
    if (command == "check") run = tufpkg::run_check;
    if (command == "extract") run = tufpkg::run_extract;
    if (command == "verify") run = tufpkg::run_verify;
    if (run == nullptr) {
        std::fprintf(stderr, "tufpkg: unknown command '%s'\n\n%s", tufpkg::printable(command).c_str(), usage);
        return tufpkg::exit_usage;
    }
    int code = tufpkg::exit_problem;
    try {
        code = run(argc - 2, argv + 2);
    } catch (const tufpkg::UsageError& error) {
        std::fprintf(stderr, "tufpkg %s: %s\nTry 'tufpkg %s --help'.\n", command.c_str(), error.what(),
                     command.c_str());
        code = tufpkg::exit_usage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tufpkg %s: %s\n", command.c_str(), error.what());
    }
    if (!tufpkg::finish_output(command) && code == tufpkg::exit_ok) code = tufpkg::exit_problem;
    return code;
}
