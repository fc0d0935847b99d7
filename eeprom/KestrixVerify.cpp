// CKestrixLoader: the image verification command VV. While the microcode
// verifies, it asks the host for image bytes through the request register
// (push requests) and for the devinit offsets; the host serves both through
// ten transfer registers until the command completes.

#include "eeprom/KestrixLoader.h"

#include "core/Range.h"
#include "core/TextHelpers.h"

#include <array>

namespace
{
constexpr uint32_t kTransferRegister = 0x10A450;
constexpr uint32_t kTransferCount = 10;
constexpr uint32_t kRequestRegister = 0x10A47C;
constexpr uint32_t kVVCommandWord = 0x1000000E;
constexpr uint32_t kCountedPassBound = 4999999;
// Passes spent on requests are not counted against the wait above; they
// have a bound of their own, so that a request the host cannot answer does
// not hold the program for ever.
constexpr uint32_t kRequestPassBound = 5000000;

constexpr uint32_t kRequestPush = 1;
constexpr uint32_t kRequestAnswered = 3;
constexpr uint32_t kRequestNotServed = 4;
constexpr uint32_t kRequestDevinit = 7;
constexpr uint32_t kAnswerBits = 0x60000000;

constexpr uint32_t kVVCertificate = 1u << 0;
constexpr uint32_t kVVDevinit = 1u << 1;
constexpr uint32_t kVVInitPointer = 1u << 3;
constexpr uint32_t kResultHasCertInfo = 1u << 0;

uint32_t Kind(uint32_t request)
{
    return request >> 29;
}

void Answer(IDisplayAdapter& adapter, uint32_t request)
{
    adapter.Write32(kRequestRegister, (request & 0x1FFFFFFF) | kAnswerBits);
}
} // namespace

void CKestrixLoader::ServePushRequest(uint32_t request, IROMImage& romImage)
{
    const uint32_t offset = request & 0xFFFFF;
    const uint32_t count = (request >> 20) & 0xFF;
    const uint32_t words = (count + 3) / 4;
    if (words > kTransferCount)
    {
        return; // more than the transfer registers hold: left unanswered
    }
    const uint8_t* buffer = romImage.GetBuffer();
    const uint8_t* source = buffer;
    uint64_t limit = kImageBufferSize;
    if (request & (1u << 28))
    {
        const uint8_t* ifr = romImage.GetIFRHeader();
        const bool inBuffer = ifr && buffer && ifr >= buffer && ifr < buffer + kImageBufferSize;
        source = inBuffer ? ifr : nullptr;
        limit = inBuffer ? kImageBufferSize - static_cast<uint64_t>(ifr - buffer) : 0;
    }
    // Bytes the image does not have (no IFR segment, or a range past the
    // buffer's end) are answered as zeros.
    const bool fits = source && RangeFits(offset, uint64_t{words} * 4, limit);
    for (uint32_t k = 0; k < words; ++k)
    {
        uint32_t value = 0;
        if (fits)
        {
            value = KestrixWordAt({source + offset, uint64_t{words} * 4}, k * 4);
        }
        m_adapter->Write32(kTransferRegister + 4 * k, value);
    }
    Answer(*m_adapter, request);
}

void CKestrixLoader::ServeDevinitRequest(uint32_t request, IROMImage& romImage)
{
    int32_t scriptTable = -1;
    int32_t tables = -1;
    romImage.GetDevinitOffsets(scriptTable, tables);
    m_adapter->Write32(kTransferRegister, static_cast<uint32_t>(scriptTable));
    m_adapter->Write32(kTransferRegister + 4, static_cast<uint32_t>(tables));
    Answer(*m_adapter, request);
}

CKestrixLoader::EVVWait CKestrixLoader::WaitForVV(IROMImage& romImage, uint32_t& lastMailbox0,
                                                  CLog* log)
{
    IDisplayAdapter& adapter = *m_adapter;
    uint32_t counted = 1;
    uint32_t requestPasses = 0;
    while (counted < kCountedPassBound && requestPasses < kRequestPassBound)
    {
        const uint32_t request = adapter.Read32(kRequestRegister);
        const uint32_t kind = Kind(request);
        if (kind == kRequestPush || kind == kRequestAnswered || kind == kRequestNotServed ||
            kind == kRequestDevinit)
        {
            ++requestPasses;
        }
        else
        {
            Delay(1);
            ++counted;
        }
        lastMailbox0 = adapter.Read32(m_registers.mailbox0);
        const uint32_t status = lastMailbox0 >> 28;
        if (status == KR_UCODE_CMD_STS_COMPLETE)
        {
            if (log)
            {
                *log << LogLevel(3) << "PMU VV Command completes after " << FormatNumber(counted, 8)
                     << " waiting loops" << LogEndl;
            }
            return EVVWait::Complete;
        }
        if (status == KR_UCODE_CMD_STS_PENDING)
        {
            if (kind == kRequestPush)
            {
                ServePushRequest(request, romImage);
            }
            else if (kind == kRequestDevinit)
            {
                ServeDevinitRequest(request, romImage);
            }
        }
        else if (status != KR_UCODE_CMD_STS_NEW)
        {
            return EVVWait::Failed;
        }
    }
    return EVVWait::TimedOut;
}

void CKestrixLoader::KeepVVResult(IROMImage& romImage)
{
    std::array<uint32_t, 6> record{};
    ReadMemory(kKestrixDmem, image.mapper->cmd_out_buffer_offset, record, *m_adapter);
    if (record[0] != 1 || record[1] != 24)
    {
        return;
    }
    m_certInfo.flags = record[2];
    m_certInfo.byteCount = record[5];
    if (!(record[2] & kResultHasCertInfo))
    {
        return;
    }
    // The block's place comes from the microcode: it must lie inside the
    // engine's data memory.
    if (!RangeFits(record[4], (uint64_t{record[5]} + 3) / 4 * 4, m_engineDmemSize))
    {
        Show(" VV certificate information is out of range");
        m_certInfo = {};
        return;
    }
    m_certInfo.bytes = ReadDmemBytes(record[4], (record[5] + 3) / 4 * 4);
    romImage.WriteCertInfoBlock(m_certInfo.bytes.data(), m_certInfo.byteCount);
}

// The VV command's flags and arguments: the certificate in the data buffer,
// and where the image keeps its devinit tables and init pointer. False, with
// the reason shown, when the certificate does not fit the buffer.
bool CKestrixLoader::PrepareVVArguments(IROMImage& romImage,
                                        const std::vector<uint8_t>* certificate)
{
    std::array<uint32_t, 4> arguments{};
    if (certificate && !certificate->empty())
    {
        if (certificate->size() > GetDataBufferSize())
        {
            Show(" VV certificate is larger than the Kestrix image data buffer");
            return false;
        }
        arguments[0] |= kVVCertificate;
        arguments[1] = static_cast<uint32_t>(certificate->size());
        WriteDataBuffer(*certificate);
    }
    const int32_t devinit =
        romImage.MapExtendedOffset(static_cast<int32_t>(romImage.GetInfoDword88()));
    if (devinit != -1)
    {
        arguments[0] |= kVVDevinit;
        arguments[2] = static_cast<uint32_t>(devinit);
    }
    const int32_t initPointer = romImage.GetInfoPointer7Offset();
    if (initPointer != -1)
    {
        arguments[0] |= kVVInitPointer;
        arguments[3] = static_cast<uint32_t>(initPointer);
    }
    WriteArguments(arguments);
    return true;
}

// Runs the command with the transfer and request registers cleared, and
// puts back what they held before once the wait ends.
CKestrixLoader::EVVWait CKestrixLoader::RunVVCommand(IROMImage& romImage, uint32_t& lastMailbox0,
                                                     CLog* log)
{
    IDisplayAdapter& engine = *m_adapter;
    std::array<uint32_t, kTransferCount> savedTransfer{};
    for (uint32_t k = 0; k < kTransferCount; ++k)
    {
        savedTransfer[k] = engine.Read32(kTransferRegister + 4 * k);
    }
    const uint32_t savedRequest = engine.Read32(kRequestRegister);
    for (uint32_t k = 0; k < kTransferCount; ++k)
    {
        engine.Write32(kTransferRegister + 4 * k, 0);
    }
    engine.Write32(kRequestRegister, 0);
    if (log)
    {
        *log << LogLevel(3) << "Send PMU VV Command... " << LogEndl;
    }
    engine.Write32(m_registers.mailbox0, kVVCommandWord);
    lastMailbox0 = kVVCommandWord;
    const EVVWait outcome = WaitForVV(romImage, lastMailbox0, log);
    // A verification still running when the wait gave up owns the mailbox
    // until the engine is reset.
    m_mailboxAbandoned = outcome == EVVWait::TimedOut;
    engine.Write32(kRequestRegister, savedRequest);
    for (uint32_t k = 0; k < kTransferCount; ++k)
    {
        engine.Write32(kTransferRegister + 4 * k, savedTransfer[k]);
    }
    return outcome;
}

void CKestrixLoader::ShowVVNotCompleted(uint32_t lastMailbox0)
{
    const std::string text = " VV Command failed to complete mailbox0 = " + ToHex(lastMailbox0, 4);
    if (m_userInterface)
    {
        m_userInterface->ShowMessage(1, text);
    }
    else
    {
        Show(text);
    }
}

// The result code of a completed command: on success the certificate
// information is kept and the microcode's pending printf output read.
uint32_t CKestrixLoader::TakeVVResult(IROMImage& romImage, uint32_t lastMailbox0)
{
    const uint32_t mailbox1 = m_adapter->Read32(m_registers.mailbox1);
    const uint32_t result = mailbox1 & kKestrixErrorMask;
    if (result == 0)
    {
        KeepVVResult(romImage);
        if (mailbox1 & kKestrixPrintfPending)
        {
            GetLog(false);
        }
    }
    else
    {
        DecodeErrorCode(lastMailbox0, result);
    }
    return result;
}

uint32_t CKestrixLoader::SendVVCommand(CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IROMImage> romImage,
                                       const std::vector<uint8_t>* certificate, CLog* log)
{
    (void)adapter; // the attached adapter is the one the engine sits on
    if (m_loadStatus != KESTRIX_IMAGE_OK || !m_adapter || !image.mapper || !romImage)
    {
        return kKestrixNotLoaded;
    }
    // Each verification starts without the last one's block.
    m_certInfo = {};
    if (m_mailboxAbandoned)
    {
        // As for every command: the engine still owes an answer to one that
        // timed out, and only a reset clears it.
        Show(kNotSentAfterAbandoned);
        return kKestrixNotCompleted;
    }
    if (!PrepareVVArguments(*romImage, certificate))
    {
        return 8; // CMD_UNSUPPORTED_PARAMETER
    }
    uint32_t lastMailbox0 = kVVCommandWord;
    if (RunVVCommand(*romImage, lastMailbox0, log) != EVVWait::Complete)
    {
        ShowVVNotCompleted(lastMailbox0);
        return kKestrixNotCompleted;
    }
    return TakeVVResult(*romImage, lastMailbox0);
}
