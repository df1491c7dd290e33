// The upgrade flow: the driver (program entry, card search, end of the run), the
// confirmation dialog with the version record, and the progress spinner.
//
// All state of a run is module-level and lives for the whole run, as on the
// device. Names are kept in namespace app so that short ones (stop, next, mode)
// cannot meet another module's symbols at link time.
#pragma once

#include <pthread.h>

#include "tuf/ttuf.h"

namespace app {

constexpr int max_files = 10;
constexpr int path_size = 256;  // a package path or script name: 255 characters at most
constexpr int version_size = 16;

constexpr const char* card_dir = "/QX4XX/MMC";
constexpr const char* version_file = "/cmap/version.txt";

// ---- driver (main.cpp) ----

// The program entry: returns 0, ends the process with status 1 on a start-up
// failure, or never returns (power wait after a successful upgrade). The device
// program's own main only calls it.
int main(int argc, char** argv);
void help(const char* prog);
void signal_handler(int id);
int get_first_sh(const char* dir);
int do_all(const char* dir);

extern char files[max_files][path_size];
extern HEADTUFFILE headers[max_files];
extern int num_file;
extern int next;
extern char filesh[path_size];
extern int have_sh;
extern int stop;  // guarded by stop_mutex
extern pthread_mutex_t stop_mutex;
extern pthread_cond_t stop_cond;
extern int is_loop;

// Sets `stop` and wakes the driver (the key handler after the last answer).
void request_stop();
// The key handler's turn: begin_key_turn() is false once the run is stopping (the
// key is then ignored); otherwise the driver's wait lasts until end_key_turn().
extern bool key_turn;  // guarded by stop_mutex
bool begin_key_turn();
void end_key_turn();
// Start-up step 2: signal_handler for the run's signals, and the thread that
// carries out what a handler asks for (the handler itself only writes its line).
void install_signal_handlers();

// ---- dialog and version record (dialog.cpp) ----

int do_upg(const char* path, const HEADTUFFILE* header);
void key_handler(int code);
void key_handler_power(int code);
int get_ver(const char* path, char* pro, char* map, char* user, int size);
int write_new_version(const char* path, const char* pro, const char* map, const char* user);

// The shell command that runs the first script `name` (see dialog.cpp for the quoting).
void first_script_command(const char* name, char* command, int size);

extern int is_map;
extern char cur_pro_ver[version_size], cur_map_ver[version_size], cur_user_ver[version_size];
extern char new_pro_ver[version_size], new_map_ver[version_size], new_user_ver[version_size];
extern char tufpath[path_size];
extern int yes_focus;
extern int yes_first;
// Room for "sh ./'NAME'" with every character of a 255-character name quoted.
constexpr int sys_cmd_size = 8 + 4 * (path_size - 1);
extern char sys_cmd[sys_cmd_size];

// ---- progress spinner (spinner.cpp) ----

int initProc();
void enable_proc();
void disable_proc();
void delProc();
void process_draw();

extern short pstate;  // 0 idle, 1 run, 2 quit; guarded by mtx_proc
extern pthread_mutex_t mtx_proc;
extern pthread_cond_t con_proc;
extern short mode;    // index of the frame drawn last

}  // namespace app
