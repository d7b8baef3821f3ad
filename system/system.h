// What the programs need of the operating system beside the serial port: one file per system.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The calendar time of t in UTC.
std::tm sysUtc(std::time_t t);

// The path a --port option names: on Windows COM3 or com12 is \\.\COM3, \\.\com12.
std::string sysPortPath(const std::string &name);

// Where the console log is kept, made if missing ("" when there is no place for it), and how
// --help names that place.
std::string sysLogPath();
extern const char SYS_LOG_PLACE[];

// Appends text to the file at path with one write, and returns once it is on stable storage
// (the file's data, and a new file's name in its folder): a program killed mid-way leaves no
// half line, lines of programs appending to one file never mix, and a power cut after the
// return loses nothing. false, with the system's words for what failed in *why, when it cannot;
// a write cut short by a full disk may then leave part of the line at the file's end.
bool sysAppend(const std::string &path, const std::string &text, std::string *why);

// The columns of the terminal standard output is, when it is one that takes the cursor
// movements of a live display; 0 for a pipe, a file or a console without them.
int sysTerminalColumns();

// Ctrl-C, SIGTERM and SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break and close) are
// counted instead of ending the process; sysInterrupts reads the count. The program then
// closes what it holds and ends. On POSIX the second one ends the process at once, stuck or
// not; on Windows it is counted too.
void sysCatchInterrupts();
int sysInterrupts();

// A child process of this program, its standard output and error on one pipe.
struct sys_child {
    intptr_t process; // -1 once sysWaitChild has waited for it
    intptr_t output;
    int asked;   // times sysStopChild asked it to end
    bool killed; // Windows: ended by the second ask (on POSIX its signal says so)
};
// Starts this program with args (after its own name), env NAME=VALUE added. false when it
// cannot.
bool sysSpawn(const std::vector<std::string> &args, const std::string &env, sys_child *child);
// Up to size bytes of what the child wrote, waiting for them; 0 once it has closed its end.
int sysReadChild(const sys_child *child, char *buf, int size);
// Asks the child to end as on an interrupt; asked again, ends it there and then, whatever it is
// doing.
void sysStopChild(sys_child *child);
// Waits for the child to end: its exit code, or -1 when it was killed; *how says which, in
// words: "exit code 1", "killed by SIGKILL".
int sysWaitChild(sys_child *child, std::string *how);
