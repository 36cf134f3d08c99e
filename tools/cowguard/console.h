// The interactive console: one step per line, over the stand-in kernel that
// runs in this process.  A step adds disks and partitions, makes and mounts
// file systems, loads the module, opens the control device, sends module
// commands with named fields (or raw numbers and bytes), maps windows, reads
// and writes devices and injects faults.  After each step the console prints
// its status (number and name), the records it returned and the kernel log
// lines it caused.  `expect STATUS` checks the step before it; a step that
// fails with no matching expect is an unexpected failure and makes the exit
// code non-zero.  Every line is checked against what its step accepts before
// the step runs: a line with a missing or extra word, an unknown field or a
// bad field value is a usage error and does nothing.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "cowguard.h"
#include "standin/block.h"
#include "workload/workload.h"

namespace cowguard::tool {

// The module built for this command's kernel line.
std::string default_module_path();
// The kernel line this command was built for ("2.6.18").
std::string kernel_line();

struct ConsoleOptions {
  std::string module_path;  // insmod without a path loads this one
  bool echo = true;         // print each line read ("> line") before its output
};

// Where the console's lines come from.
class LineInput {
 public:
  virtual ~LineInput() = default;
  // The next line, without its end; nullopt at the end of the input.
  virtual std::optional<std::string> next() = 0;
};

// Lines typed on a terminal, through libedit: the prompt before each line,
// line editing, and the history of the lines typed (up and down arrows).
// libedit keeps one editor per process, so there is one of these at a time.
class EditLineInput : public LineInput {
 public:
  // in and out are the terminal (the caller keeps them open).
  EditLineInput(std::FILE* in, std::FILE* out, std::string prompt);
  ~EditLineInput() override;
  EditLineInput(const EditLineInput&) = delete;
  EditLineInput& operator=(const EditLineInput&) = delete;
  std::optional<std::string> next() override;

 private:
  std::FILE* out_;
  std::string prompt_;
  std::string last_;  // the last line put into the history
};

// A usage error of one step: bad words or fields.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Console {
 public:
  Console(std::ostream& out, ConsoleOptions opts);
  ~Console();  // unmaps, closes, unloads, unmounts and removes what it made
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Runs one line.  false when the line asks to quit.
  bool run_line(const std::string& line);
  // Runs every line of the stream, up to its end or `quit`.
  void run(std::istream& in);
  // Runs every line of the input, up to its end or `quit`.
  void run(LineInput& in);
  // Ends the last step (an unchecked failure counts now).
  void finish();

  int unexpected_failures() const { return failures_; }
  int exit_code() const { return failures_ ? 1 : 0; }

  // The outcome of one step.
  struct Outcome {
    bool module = false;  // a module command: the code is a module status
    long code = 0;        // status: 0, a module status, or -errno
    int err = 0;          // errno of a failed system call (code -1)
    std::string text;     // name for a result outside the tables ("FAILED")
  };

 private:
  using Handler = Outcome (Console::*)(const Fields&);
  // What one form of a step accepts: its positional words, in order, and its
  // fields.  A word in capitals names a value ("DEV"), a word in lower case
  // is a keyword that must be there as written ("clear"); "?" after it makes
  // it optional, "..." takes any number of words.  A step of several forms
  // runs the first whose keywords the line has.
  struct Form {
    std::vector<std::string> words = {};
    std::vector<FieldRule> fields = {};
    bool free_text = false;  // every word is text: no fields
  };
  // One step: its name, the group help lists it under, its usage and
  // description, the forms it accepts and the member that runs it (null for
  // the steps run_line runs itself: help, expect, expect-log, quit).
  struct Step {
    std::string name, group, usage, help;
    std::vector<Form> forms;
    Handler run;
  };
  struct DiskEntry {
    std::unique_ptr<standin::block::Disk> disk;
    std::string path;  // file disk: its image file
  };
  struct Window {
    int fd;
    void* addr;
    std::size_t len;
  };

  // Every step, in one table (console_steps.cpp).
  static const std::vector<Step>& steps();

  // The steps (console.cpp: general; console_disk.cpp: disks and faults;
  // console_module.cpp: the module and its commands; console_agent.cpp: the
  // agent and the workload).
  Outcome step_echo(const Fields& f);
  Outcome step_log(const Fields& f);
  Outcome step_sleep(const Fields& f);
  Outcome step_disk(const Fields& f);
  Outcome step_disks(const Fields& f);
  Outcome step_mbr(const Fields& f);
  Outcome step_rescan(const Fields& f);
  Outcome step_mkfs(const Fields& f);
  Outcome step_mount(const Fields& f);
  Outcome step_umount(const Fields& f);
  Outcome step_fsinfo(const Fields& f);
  Outcome step_write(const Fields& f);
  Outcome step_read(const Fields& f);
  Outcome step_disk_fault(const Fields& f);
  Outcome step_disk_delay(const Fields& f);
  Outcome step_fault(const Fields& f);
  Outcome step_insmod(const Fields& f);
  Outcome step_rmmod(const Fields& f);
  Outcome step_lsmod(const Fields& f);
  Outcome step_open(const Fields& f);
  Outcome step_close(const Fields& f);
  Outcome step_mmap(const Fields& f);
  Outcome step_munmap(const Fields& f);
  Outcome step_windows(const Fields& f);
  Outcome step_dump(const Fields& f);
  Outcome step_fault_page(const Fields& f);
  Outcome step_get_block_size(const Fields& f);
  Outcome step_start(const Fields& f);
  Outcome step_snapshot(const Fields& f);
  Outcome step_get_state(const Fields& f);
  Outcome step_get_automap_state(const Fields& f);
  Outcome step_load_map(const Fields& f);
  Outcome step_get_automap(const Fields& f);
  Outcome step_get_dirty_block(const Fields& f);
  Outcome step_read_blocks(const Fields& f);
  Outcome step_get_stats(const Fields& f);
  Outcome step_ioctl(const Fields& f);
  Outcome step_backup(const Fields& f);
  Outcome step_restore(const Fields& f);
  Outcome step_verify(const Fields& f);
  Outcome step_workload(const Fields& f);
  Outcome step_no_load_automap(const Fields& f);
  Outcome step_no_start_automap(const Fields& f);
  Outcome step_sync(const Fields& f);
  Outcome step_shutdown(const Fields& f);
  Outcome step_cmd16(const Fields& f);
  Outcome step_version_major(const Fields& f);
  Outcome step_version_minor(const Fields& f);
  // Helpers of the steps above.
  standin::block::DiskConfig disk_config(const Fields& f) const;
  Outcome disk_added(std::unique_ptr<standin::block::Disk> d, std::string path);
  std::pair<unsigned, unsigned> dev_of(const Fields& f, std::size_t i, standin::block::devnum def) const;
  unsigned map_len(const Fields& f, int fd) const;
  Outcome send_plain(const Fields& f, unsigned long cmd);
  Outcome send_version(const Fields& f, unsigned long cmd);
  // The forms of a step that has one: these words and fields.
  static std::vector<Form> takes(std::vector<std::string> words, std::vector<FieldRule> fields = {});
  // Holds a line against the forms of its command: UsageError when it fits
  // none, or its words or fields are not what its form accepts.
  void check(const std::string& name, const Step& c, const Fields& f) const;
  void expect(const std::string& name, const std::string& want);
  void help(const std::vector<std::string>& words);
  void settle();
  void report(const Outcome& o);
  void print_log();
  bool expect_matches(const std::string& want, const Outcome& o) const;

  // Word parsers shared by the steps; each throws UsageError.
  standin::block::devnum device(const std::string& word) const;
  DiskEntry& disk(const std::string& word);
  std::uint64_t size_arg(const std::string& word, const char* what) const;
  std::uint64_t uint_arg(const std::string& word, const char* what) const;
  int fd_arg(const std::string& word) const;
  std::string need(const Fields& f, std::size_t i, const char* what) const;
  std::uint64_t uint_field(const Fields& f, const std::string& name, std::uint64_t def) const;
  // A pointer field: absent gives def; "null", "bad" (unmapped), "ro" (read
  // only) or a number.
  void* ptr_field(const Fields& f, const std::string& name, void* def) const;
  static FieldRule pointer_field(std::string name);
  Window& window(const std::string& word);
  Window* window_of(int fd);
  Outcome ioctl_step(int fd, unsigned long cmd, void* arg);
  void hexdump(const std::uint8_t* p, std::size_t len, std::uint64_t base);

  // Steps write to out_, a buffer; the console passes it on to sink_ after
  // the step's status line.
  std::ostream& sink_;
  std::ostringstream buf_;
  std::ostream& out_ = buf_;
  void flush_buf();
  ConsoleOptions opts_;
  std::map<std::string, Step> commands_;
  std::vector<DiskEntry> disks_;
  std::set<standin::block::devnum> mounted_;
  std::set<int> fds_;
  std::map<std::string, Window> windows_;
  int next_window_ = 1;
  std::map<int, standin::block::devnum> started_;  // fd -> device given at start
  std::map<int, unsigned> blocks_;                 // fd -> totalBlocks given at start
  std::map<standin::block::devnum, AMSessionKey> keys_;  // last key read per device
  // The live ext4 writer of the workload step; stopped before anything is
  // unmounted.
  std::unique_ptr<cowguard::workload::Ext4Workload> workload_;
  char* pages_ = nullptr;  // rw, read-only and unmapped pages for pointer fields
  std::size_t log_mark_ = 0;
  std::vector<std::string> last_log_;
  std::optional<Outcome> pending_;
  bool pending_checked_ = true;
  int failures_ = 0;
};

}  // namespace cowguard::tool
