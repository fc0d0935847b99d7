#include "core/Log.h"

#include <fcntl.h>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int CLog::CLogStreamBuffer::AddSink(std::ostream* stream, int minLevel, int maxLevel)
{
    m_sinks.push_back({stream, minLevel, maxLevel});
    ++m_sinkCount;
    return static_cast<int>(m_sinks.size()) - 1;
}

bool CLog::CLogStreamBuffer::RemoveSink(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= m_sinks.size() || !m_sinks[index].stream)
    {
        return false;
    }
    m_sinks[index].stream = nullptr;
    --m_sinkCount;
    return true;
}

int CLog::CLogStreamBuffer::sync()
{
    const std::string text = str();
    for (const LogSink& sink : m_sinks)
    {
        if (sink.stream && sink.minLevel <= m_currentLevel && m_currentLevel <= sink.maxLevel)
        {
            *sink.stream << text;
            sink.stream->flush();
        }
    }
    str(std::string());
    return 0;
}

CLog::CLog() : std::ostream(nullptr)
{
    rdbuf(&m_buffer);
}

int CLog::AddSink(std::ostream* stream, int minLevel, int maxLevel)
{
    return m_buffer.AddSink(stream, minLevel, maxLevel);
}

bool CLog::RemoveSink(int index)
{
    return m_buffer.RemoveSink(index);
}

CLog& CLog::SetLevel(int level)
{
    m_buffer.SetLevel(level);
    return *this;
}

CLog* GetLog()
{
    static CLog log;
    return &log;
}

CScopedLogSink::CScopedLogSink(CLog* log, std::ostream* stream, int minLevel, int maxLevel)
    : m_log(log), m_index(log->AddSink(stream, minLevel, maxLevel))
{
}

CScopedLogSink::~CScopedLogSink()
{
    m_log->RemoveSink(m_index);
}

std::ostream& operator<<(std::ostream& out, const LogLevel& manipulator)
{
    if (auto* log = dynamic_cast<CLog*>(&out))
    {
        log->SetLevel(manipulator.level);
    }
    return out;
}

std::ostream& LogEndl(std::ostream& out)
{
    return std::endl(out);
}

void LogMessage(std::ostringstream& message, int level, bool newline)
{
    CLog* log = GetLog();
    log->SetLevel(level);
    *log << message.str();
    if (newline)
    {
        *log << '\n';
    }
    log->flush();
    message.str(std::string());
    log->SetLevel(3);
}

void FlushMessageBuffer(std::ostringstream& message, CLog* log, int level)
{
    log->SetLevel(level);
    *log << message.str() << '\n';
    log->flush();
    std::cout << message.str() << '\n';
    std::cout.flush();
    message.str(std::string());
}

bool OpenLogFile(std::ofstream& file, const std::string& name, bool truncate)
{
    // O_NONBLOCK keeps a FIFO without a reader from holding the run.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        return false;
    }
    struct stat status = {};
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const bool ready = regular && (!truncate || ::ftruncate(fd, 0) == 0);
    if (ready)
    {
        // The stream opens the file the descriptor holds, not the name again,
        // so a link put in the name's place after the check is never followed.
        file.open("/proc/self/fd/" + std::to_string(fd), std::ios_base::out | std::ios_base::app);
    }
    ::close(fd);
    return file.is_open();
}

void LogLine(CLog* log, int level, const std::string& text)
{
    if (log)
    {
        log->SetLevel(level);
        *log << text << LogEndl;
    }
}

filebufunbuf* filebufunbuf::SetFileName(const char* name)
{
    m_fileName = name;
    OpenLogFile(m_file, m_fileName, true);
    m_file.close();
    return this;
}

int filebufunbuf::sync()
{
    OpenLogFile(m_file, m_fileName, false);
    if (m_file.is_open())
    {
        m_file << str();
        m_file.close();
    }
    m_file.clear();
    str(std::string());
    return 0;
}
