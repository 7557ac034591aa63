#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

enum class LogLevel { info, warn, error };

// The program's single log. Lines are timestamped on the caller's thread and
// handed to one writer thread, which owns standard error and the in-memory
// buffer; callers never wait for output.
class CorvelSetupLogger {
  public:
    static constexpr std::size_t maxPersistedCharacters = 200000;

    static CorvelSetupLogger& shared();

    void log(LogLevel level, std::string_view message);

    // Returns once every line logged before the call has been written and buffered.
    void flush();

    // The same, but gives up after `bound`; true when everything was written.
    // For an exit that must happen even if standard error is stuck.
    bool flushFor(std::chrono::milliseconds bound);

    // Whether log lines go to standard error; they are buffered (and so reach
    // the setup record) either way. The status line is drawn either way.
    void setEchoToStandardError(bool echo);

    // The buffer joined, capped to the last maxPersistedCharacters user-perceived
    // characters. Runs on the writer thread, so every earlier line is included.
    std::string persistedText();

    void logStartupBanner();

    // Text for standard output, written in order with the log lines. On a
    // terminal that also shows the status line, the text goes above it
    // instead of being wiped by its next redraw.
    void writeOutput(std::string text);

    // A line kept below the log on a terminal (a progress bar redrawn in
    // place): each log line is written above it, and it is drawn again after.
    // Empty removes it. Meant only for a standard error that is a terminal.
    void setStatusLine(std::string line);

    // "yyyy-MM-dd HH:mm:ss.SSS [LEVEL] message\n" for the given moment.
    static std::string formatLine(std::int64_t unixMillis, LogLevel level,
                                  std::string_view message);

    // Exposed for tests: the capping rule applied to an arbitrary text.
    static std::string capPersistedText(const std::string& joined,
                                        std::size_t cap = maxPersistedCharacters);

    CorvelSetupLogger(const CorvelSetupLogger&) = delete;
    CorvelSetupLogger& operator=(const CorvelSetupLogger&) = delete;

  private:
    CorvelSetupLogger();
    ~CorvelSetupLogger() = delete; // lives until the process exits

    void enqueue(std::function<void()> work);
    void runWriter();

    std::mutex mutex_;
    // Held by the writer while it runs a piece of work, and by fork() around
    // the fork, so a child never starts with the queue or the writer's state
    // half changed.
    std::mutex working_;
    bool forked_ = false; // in a forked child, which has no writer thread
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::string> buffer_; // touched only on the writer thread
    std::string statusLine_;          // likewise
    bool echo_ = true;                // likewise
    std::thread writer_;
};

// Logs through the shared instance.
void log(LogLevel level, std::string_view message);

// Whether the text holds a C0 or C1 control character or DEL (tab and line
// feed included).
bool containsControlCharacters(std::string_view text);

// The text with every such character written out as an escape ("\n", "\t",
// "\x1b", "\u0085"), so remote text can never break a line, move the cursor
// or ring a terminal. Everything else, invalid bytes included, is kept.
std::string escapeControlCharacters(std::string_view text);

// Counts extended grapheme clusters; an invalid byte counts as one character.
std::size_t countGraphemes(std::string_view text);
