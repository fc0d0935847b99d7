#pragma once
// The process-wide logger: an output stream whose flushed text goes to every
// sink whose level range holds the level in force at the flush.

#include "core/RefCount.h"

#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

struct LogSink
{
    std::ostream* stream; // not owned
    int minLevel;
    int maxLevel;
};

class CLog : public CReferenceCountImpl, public std::ostream
{
public:
    class CLogStreamBuffer : public std::stringbuf
    {
    public:
        CLogStreamBuffer() : std::stringbuf(std::ios_base::in | std::ios_base::out) {}
        int AddSink(std::ostream* stream, int minLevel, int maxLevel);
        bool RemoveSink(int index);
        void SetLevel(int level) { m_currentLevel = level; }
        int GetLevel() const { return m_currentLevel; }
        int GetSinkCount() const { return m_sinkCount; }

    protected:
        int sync() override;

    private:
        // A removed sink leaves a hole so that the indexes of the others stay.
        std::vector<LogSink> m_sinks;
        int m_currentLevel = 3;
        int m_sinkCount = 0;
    };

    CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Returns the sink's index (0 for the first).
    int AddSink(std::ostream* stream, int minLevel, int maxLevel);
    // Unregisters a sink so that its stream may go away; false for an unknown
    // or already removed index.
    bool RemoveSink(int index);
    CLog& SetLevel(int level);
    int GetLevel() const { return m_buffer.GetLevel(); }

private:
    CLogStreamBuffer m_buffer;
};

// The process's one logger, created on first call and destroyed at exit. It is
// never reference counted.
CLog* GetLog();

// The log an operation writes to: the caller's, or, when the caller passed
// none, one of its own without sinks, so that the operation writes its text
// the same way either way and the text then goes nowhere.
class CLogOrDiscard
{
public:
    explicit CLogOrDiscard(CLog* log) : m_log(log ? log : &m_discard.emplace()) {}
    CLogOrDiscard(const CLogOrDiscard&) = delete;
    CLogOrDiscard& operator=(const CLogOrDiscard&) = delete;

    CLog& operator*() const { return *m_log; }

private:
    // Declared first: it must exist before m_log may point to it.
    std::optional<CLog> m_discard;
    CLog* m_log;
};

// Registers a sink for the life of this object and removes it at the end, so a
// sink never outlives its stream.
class CScopedLogSink
{
public:
    CScopedLogSink(CLog* log, std::ostream* stream, int minLevel, int maxLevel);
    ~CScopedLogSink();
    CScopedLogSink(const CScopedLogSink&) = delete;
    CScopedLogSink& operator=(const CScopedLogSink&) = delete;

private:
    CLog* m_log;
    int m_index;
};

// Manipulator: log << LogLevel(4) << "text" << LogEndl.
struct LogLevel
{
    explicit LogLevel(int level) : level(level) {}
    int level;
};
std::ostream& operator<<(std::ostream& out, const LogLevel& manipulator);

// A line feed and a flush (the same as std::endl).
std::ostream& LogEndl(std::ostream& out);

// Writes the text at the level as one line to the log (which may be null);
// the level stays.
void LogLine(CLog* log, int level, const std::string& text);

// Writes the message's text to GetLog() at level, flushes it, empties the
// message and sets the level back to 3.
void LogMessage(std::ostringstream& message, int level, bool newline);

// Writes the message and a line feed to log at level and echoes it to standard
// output; empties the message. The level stays.
void FlushMessageBuffer(std::ostringstream& message, CLog* log, int level);

// Opens a log file for writing at its end, never through a link and never
// anything but a regular file: a log named in a folder others can write must
// not let them point it at another file. With truncate an existing file is
// emptied first. False when the file cannot be opened that way.
bool OpenLogFile(std::ofstream& file, const std::string& name, bool truncate);

// Appends each flushed text to a named file, which is open only during the
// flush, so every message is on disk when the flush returns.
class filebufunbuf : public std::stringbuf
{
public:
    filebufunbuf() : std::stringbuf(std::ios_base::in | std::ios_base::out) {}
    ~filebufunbuf() override = default;
    filebufunbuf* SetFileName(const char* name);

protected:
    int sync() override;

private:
    std::ofstream m_file;
    std::string m_fileName;
};
