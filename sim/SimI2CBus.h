#pragma once
// Simulated I2C buses: two open-drain lines, SDA and SCL, that read low while
// anyone drives them low. The master (a GPU's line register) and every slave
// drive the lines; after every change each slave is told the new levels, so a
// slave sees each clock edge, start and stop, and answers by driving SDA (an
// acknowledge, a data bit) or holding SCL low. A test can also hold the clock
// low, as a stuck slave would.
//
// CSimI2CByteSlave decodes the bit stream into addresses and bytes; a slave
// built on it answers OnAddress, OnWrite, OnRead and OnStop and leaves the
// line timing to the base. The bus keeps a trace of what passed on the wire.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CSimI2CBus;

class ISimI2CSlave
{
public:
    virtual ~ISimI2CSlave() = default;
    virtual std::string Name() const = 0;
    // The lines changed; `sda` and `scl` are the levels now on the bus.
    virtual void OnLines(CSimI2CBus& bus, bool sda, bool scl) = 0;
};

// One event seen on the wire, in the order it happened.
struct SimI2CEvent
{
    enum class EKind
    {
        Start, // also a repeated start
        Stop,
        Byte, // eight bits and the acknowledge bit after them
    };
    EKind kind = EKind::Start;
    uint8_t byte = 0;
    bool acknowledged = false;

    bool operator==(const SimI2CEvent&) const = default;
};

// "S", "P", "A0+" (byte acknowledged) or "A0-" (not acknowledged).
std::string FormatI2CEvent(const SimI2CEvent& event);
// The events joined by spaces: "S A0+ 10+ P".
std::string FormatI2CTrace(const std::vector<SimI2CEvent>& events);

class CSimI2CBus
{
public:
    explicit CSimI2CBus(std::string name);

    const std::string& Name() const { return m_name; }
    void AddSlave(std::shared_ptr<ISimI2CSlave> slave);
    const std::vector<std::shared_ptr<ISimI2CSlave>>& Slaves() const { return m_slaves; }
    ISimI2CSlave* FindSlave(const std::string& name) const;

    // The master's outputs (true releases the line).
    void DriveMaster(bool sda, bool scl);
    // A slave pulls SDA or SCL low (true) or lets it go (false).
    void DriveSdaLow(const ISimI2CSlave& slave, bool low);
    void DriveSclLow(const ISimI2CSlave& slave, bool low);
    // Holds the clock low whatever anyone drives, until released.
    void HoldClockLow(bool hold);

    bool Sda() const { return m_sda; }
    bool Scl() const { return m_scl; }

    const std::vector<SimI2CEvent>& Trace() const { return m_trace; }
    std::string TraceText() const { return FormatI2CTrace(m_trace); }
    void ClearTrace() { m_trace.clear(); }

private:
    struct Drive
    {
        const ISimI2CSlave* slave;
        bool sdaLow;
        bool sclLow;
    };
    Drive& DriveOf(const ISimI2CSlave& slave);
    void Settle();
    void Observe(bool sda, bool scl);

    std::string m_name;
    std::vector<std::shared_ptr<ISimI2CSlave>> m_slaves;
    std::vector<Drive> m_drives;
    bool m_masterSda = true;
    bool m_masterScl = true;
    bool m_holdClock = false;
    bool m_sda = true;
    bool m_scl = true;
    bool m_settling = false;
    // The trace decoder's view of the bus.
    int m_bitCount = -1; // -1 outside a transfer
    uint16_t m_bits = 0;
    std::vector<SimI2CEvent> m_trace;
};

// A slave at one bus address (bit 0 clear) that works byte by byte.
class CSimI2CByteSlave : public ISimI2CSlave
{
public:
    CSimI2CByteSlave(std::string name, uint8_t address);

    std::string Name() const override { return m_name; }
    uint8_t Address() const { return m_address; }
    void OnLines(CSimI2CBus& bus, bool sda, bool scl) final;

    // Once addressed, hold the clock low from the end of the address byte's
    // acknowledge on, for ever: a slave that hangs.
    void SetHangAfterAddress(bool hang) { m_hangAfterAddress = hang; }

protected:
    // A start with this slave's address: true acknowledges. `read` is the
    // direction bit.
    virtual bool OnAddress(bool read) = 0;
    // A byte written to the slave: true acknowledges.
    virtual bool OnWrite(uint8_t byte) = 0;
    // The next byte the master reads.
    virtual uint8_t OnRead() = 0;
    // A stop, or a repeated start, ending a transfer that carried this
    // slave's address.
    virtual void OnStop() {}

private:
    enum class EState
    {
        Idle,    // not addressed; waits for a start
        Address, // receiving the address byte
        Receive, // receiving a data byte
        AckOut,  // driving the acknowledge of a received byte
        Send,    // sending a data byte
        AckIn,   // the master acknowledges a sent byte
        Ignore,  // not addressed or refused; waits for a start or stop
    };

    void StartReceived(CSimI2CBus& bus);
    void EndTransfer();
    void ClockRose(bool sda);
    void ClockFell(CSimI2CBus& bus);
    void SendNextByte(CSimI2CBus& bus);

    std::string m_name;
    uint8_t m_address;
    EState m_state = EState::Idle;
    bool m_reading = false;
    bool m_acknowledge = false;
    bool m_masterAcked = false;
    bool m_hangAfterAddress = false;
    bool m_addressPhase = false;
    bool m_addressed = false;
    int m_bits = 0;
    uint8_t m_shift = 0;
    bool m_lastSda = true;
    bool m_lastScl = true;
};
