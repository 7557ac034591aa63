#include "log/CorvelSetupLogger.h"

#include "BuildInfo.h"
#include "platform/Directories.h"
#include "platform/UniqueFd.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <future>
#include <memory>
#include <pthread.h>
#include <unistd.h>

namespace {

const char* levelWord(LogLevel level) {
    switch (level) {
    case LogLevel::info:
        return "INFO";
    case LogLevel::warn:
        return "WARN";
    case LogLevel::error:
        return "ERROR";
    }
    return "INFO";
}

// Byte offsets at which each grapheme cluster starts, plus the end offset.
std::vector<std::size_t> graphemeStarts(std::string_view text) {
    std::vector<std::size_t> starts;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto len = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t pos = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    while (pos < len) {
        utf8proc_int32_t cp = -1;
        utf8proc_ssize_t n = utf8proc_iterate(bytes + pos, len - pos, &cp);
        if (n <= 0) {
            // An invalid byte stands alone as one character.
            starts.push_back(static_cast<std::size_t>(pos));
            pos += 1;
            previous = -1;
            state = 0;
            continue;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state))
            starts.push_back(static_cast<std::size_t>(pos));
        previous = cp;
        pos += n;
    }
    return starts;
}

} // namespace

namespace {

// Length of the control character at the start of text; 0 for none. C1
// controls count only in their UTF-8 form (C2 80 to C2 9F).
std::size_t controlAt(std::string_view text) {
    auto c = static_cast<unsigned char>(text[0]);
    if (c < 0x20 || c == 0x7F) return 1;
    if (c == 0xC2 && text.size() > 1) {
        auto next = static_cast<unsigned char>(text[1]);
        if (next >= 0x80 && next <= 0x9F) return 2;
    }
    return 0;
}

} // namespace

bool containsControlCharacters(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (controlAt(text.substr(i)) != 0) return true;
    return false;
}

std::string escapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = controlAt(text.substr(i));
        auto c = static_cast<unsigned char>(text[i]);
        if (length == 0) {
            out += text[i];
            i += 1;
            continue;
        }
        if (length == 2)
            out += fmt::format("\\u{:04x}", static_cast<unsigned char>(text[i + 1]));
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += fmt::format("\\x{:02x}", c);
        i += length;
    }
    return out;
}

std::size_t countGraphemes(std::string_view text) {
    return graphemeStarts(text).size();
}

namespace {
// Back to the first column and erase to the end of the line.
const std::string clearTerminalLine = "\r\033[K";
} // namespace

CorvelSetupLogger& CorvelSetupLogger::shared() {
    static CorvelSetupLogger* instance = new CorvelSetupLogger();
    return *instance;
}

CorvelSetupLogger::CorvelSetupLogger() : writer_([this] { runWriter(); }) {
    // A process that forks while the writer holds a lock would leave the child
    // waiting for it for ever at its first log line.
    ::pthread_atfork(
        [] {
            shared().working_.lock();
            shared().mutex_.lock();
        },
        [] {
            shared().mutex_.unlock();
            shared().working_.unlock();
        },
        [] {
            shared().forked_ = true;
            shared().mutex_.unlock();
            shared().working_.unlock();
        });
}

void CorvelSetupLogger::enqueue(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        if (!forked_) {
            queue_.push_back(std::move(work));
            work = nullptr;
        }
    }
    if (!work) {
        wake_.notify_one();
        return;
    }
    // The child of a fork has no writer: what was queued before the fork, then this.
    std::lock_guard working(working_);
    std::deque<std::function<void()>> earlier;
    {
        std::lock_guard lock(mutex_);
        earlier.swap(queue_);
    }
    for (auto& item : earlier)
        item();
    work();
}

void CorvelSetupLogger::runWriter() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !queue_.empty(); });
            work = std::move(queue_.front());
            queue_.pop_front();
        }
        std::lock_guard working(working_);
        work();
        // Freed under the lock as well: a fork, which takes it first, then never
        // leaves the child an allocator that this thread was in the middle of.
        work = nullptr;
    }
}

std::string CorvelSetupLogger::formatLine(std::int64_t unixMillis, LogLevel level,
                                          std::string_view message) {
    std::time_t seconds = static_cast<std::time_t>(unixMillis / 1000);
    int millis = static_cast<int>(unixMillis % 1000);
    if (millis < 0) {
        millis += 1000;
        seconds -= 1;
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d} [{}] {}\n",
                       local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec, millis, levelWord(level), message);
}

void CorvelSetupLogger::log(LogLevel level, std::string_view message) {
    auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    // One message, one line: remote text in it must not forge lines or
    // drive the terminal.
    std::string line = containsControlCharacters(message)
                           ? formatLine(now, level, escapeControlCharacters(message))
                           : formatLine(now, level, message);
    enqueue([this, line = std::move(line)]() mutable {
        // A closed or broken stderr must not stop the run; the buffer still keeps the line.
        if (echo_ && statusLine_.empty())
            platform::writeFully(STDERR_FILENO, line);
        else if (echo_)
            platform::writeFully(STDERR_FILENO, clearTerminalLine + line + statusLine_);
        buffer_.push_back(std::move(line));
    });
}

void CorvelSetupLogger::writeOutput(std::string text) {
    enqueue([this, text = std::move(text)] {
        if (statusLine_.empty()) {
            platform::writeFully(STDOUT_FILENO, text);
            return;
        }
        platform::writeFully(STDERR_FILENO, clearTerminalLine);
        platform::writeFully(STDOUT_FILENO, text);
        platform::writeFully(STDERR_FILENO, statusLine_);
    });
}

void CorvelSetupLogger::setStatusLine(std::string line) {
    enqueue([this, line = std::move(line)]() mutable {
        if (line == statusLine_) return;
        statusLine_ = std::move(line);
        platform::writeFully(STDERR_FILENO, clearTerminalLine + statusLine_);
    });
}

void CorvelSetupLogger::flush() {
    std::promise<void> done;
    auto future = done.get_future();
    enqueue([&done] { done.set_value(); });
    future.wait();
}

bool CorvelSetupLogger::flushFor(std::chrono::milliseconds bound) {
    // Shared: the writer may reach the marker after this call has given up.
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    enqueue([done] { done->set_value(); });
    return future.wait_for(bound) == std::future_status::ready;
}

void CorvelSetupLogger::setEchoToStandardError(bool echo) {
    enqueue([this, echo] { echo_ = echo; });
}

std::string CorvelSetupLogger::capPersistedText(const std::string& joined, std::size_t cap) {
    auto starts = graphemeStarts(joined);
    if (starts.size() <= cap) return joined;
    std::size_t dropped = starts.size() - cap;
    std::string result = fmt::format("… (已截断 {} 字符，仅保留最近 {} 字符) …\n", dropped, cap);
    result.append(joined, starts[dropped], std::string::npos);
    return result;
}

std::string CorvelSetupLogger::persistedText() {
    std::promise<std::string> result;
    auto future = result.get_future();
    enqueue([this, &result] {
        std::string joined;
        std::size_t total = 0;
        for (const auto& line : buffer_)
            total += line.size();
        joined.reserve(total);
        for (const auto& line : buffer_)
            joined += line;
        result.set_value(capPersistedText(joined));
    });
    return future.get();
}

void CorvelSetupLogger::logStartupBanner() {
    log(LogLevel::info, "==================== Corvel Setup 启动 ====================");
    auto exe = platform::executablePath();
    log(LogLevel::info, "Bundle: " + (exe.empty() ? std::string("?") : exe.string()));
    log(LogLevel::info, fmt::format("Version: {} (build {})", CORVEL_VERSION, CORVEL_GIT_REVISION));
    log(LogLevel::info, fmt::format("PID: {}", ::getpid()));
}

void log(LogLevel level, std::string_view message) {
    CorvelSetupLogger::shared().log(level, message);
}
