// The two operations behind mervix-cli's "download" and "module" commands:
// their options, the operator that answers the window's questions from those
// options (and the terminal), and the loop that serves the device until the
// run has ended. The socket loop itself belongs to the caller, so this part
// stays free of any platform.
#pragma once

#include "operations/DownloadOperations.h"
#include "operations/MemorySettingsStore.h"
#include "operations/OperationsOperator.h"
#include "operations/OptionScanner.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mervix {

constexpr std::uint32_t kCommandLineDefaultPort = 2222;
constexpr std::uint32_t kCommandLineKorvanePort = 55550;

enum class OperationCommand { Download, Module };

struct OperationCommandOptions {
  std::string host;                        // empty: message 102 (download only; module requires it)
  std::optional<std::uint32_t> port;       // 0..65535; absent: 2222, or 55550 in the Korvane mode
  std::optional<std::string> address;      // --base-address / --address, as typed
  bool compress = false;                   // download only
  bool assumeYes = false;
  bool korvane = false;                    // the "Korvane" setting for this run
  std::string settingsFile;                // empty: settings in memory only
  std::string workDirectory;               // empty: the working directory
  int timeoutMs = 0;                       // 0: wait for the device without limit
  std::string file;
};

// Parses the arguments after the command name:
//   download [--host H] [--port P] [--base-address HEX] [--compress] [--yes]
//            [--korvane] [--settings FILE] [--work-dir DIR] [--timeout S] FILE
//   module --host H [--port P] --address HEX [--yes]
//            [--settings FILE] [--work-dir DIR] [--timeout S] FILE
// Values may follow as "--name value" or "--name=value"; "--" ends the
// options. P is 0..65535 in decimal (0 is passed on, for message 104).
OptionsParse ParseOperationArguments(OperationCommand command, const std::vector<std::string>& args,
                                     OperationCommandOptions* options, std::string* error);

// The operator of the command line: boxes and the run indicator go to
// |terminal|; the controls come from the options; the file chooser answers
// the FILE argument; the Base Address dialog answers the address option, or
// asks on |in| / |err| when there is none (an empty answer keeps the preset,
// the end of input cancels).
class CommandLineOperator : public OperationsOperator {
 public:
  CommandLineOperator(Operator& terminal, ControlValues controls, std::string file,
                      std::optional<std::string> address, std::FILE* in, std::FILE* err);

  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;
  void SetDownloadEnabled(bool enabled) override { terminal_.SetDownloadEnabled(enabled); }
  bool ReadControls(ControlValues& values) override;
  std::optional<std::string> ChooseFileToOpen() override;
  std::optional<std::string> AskBaseAddress(const std::string& preset) override;

  // The text of the last box, for the closing report.
  const std::string& LastBoxText() const { return lastBox_; }

 private:
  Operator& terminal_;
  ControlValues controls_;
  std::string file_;
  std::optional<std::string> address_;
  std::FILE* in_;
  std::FILE* err_;
  std::string lastBox_;
};

// Opens the settings of a command: the file named by the options, or an
// empty store in memory; "Korvane" preset for --korvane. False with a reason
// when the file cannot be read.
bool OpenCommandSettings(const OperationCommandOptions& options, MemorySettingsStore* store, std::string* error);

// What one wait of the caller's socket loop gave.
enum class LoopWait { Notified, TimedOut, NoConnection };
// Waits up to the given milliseconds (negative: without limit) for the
// current connection and delivers its notification.
using WaitAndDispatch = std::function<LoopWait(int timeoutMs)>;

// Serves the run that |prepared| started until it ends, then reports:
// returns 0 when the download finished, 1 for every other end, with one line
// "mervix-cli COMMAND: REASON" on |err| (the silent ends of the window
// included). |timeoutMs| > 0 gives the run up when the device stays silent
// that long.
int CompleteCommandRun(DownloadOperations& ops, const PreparationResult& prepared, const WaitAndDispatch& wait,
                       int timeoutMs, const CommandLineOperator& op, const char* command, std::FILE* err);

}  // namespace mervix
