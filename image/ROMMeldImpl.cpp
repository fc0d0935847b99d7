// The multi-image ROM file object: its settings, its list of images and the
// entry points that read and write it through buffers, streams and files.

#include "image/ROMMeldImpl.h"

#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/NewFile.h"
#include "core/UserFile.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr char kMegaROMKey[] = "KRROM";
constexpr const char* kSelectionTypeWith101 =
    "Only the normal selection type (0) is allowed with version 1.01 MEGA ROM files";
} // namespace

void TraceLine(CLog* log, const std::string& line)
{
    if (log)
    {
        *log << line << LogEndl;
    }
}

CRefPtr<IROMMeld> IROMMeld::Create()
{
    return CRefPtr<IROMMeld>(new CROMMeldImpl());
}

CROMMeldImpl::CROMMeldImpl()
{
    m_content.vfieldTable = IVFieldTable::Create();
    Reset();
}

void CROMMeldImpl::Reset()
{
    m_content.key.fill(0);
    std::memcpy(m_content.key.data(), kMegaROMKey, 5);
    m_content.version = kMegaROMVersion103;
    m_content.selectionType = 0;
    m_content.vfieldTable->Clear();
    m_content.images.clear();
}

void CROMMeldImpl::SetVersion(uint32_t version)
{
    m_content.version = version;
    if (version != kMegaROMVersion101)
    {
        return;
    }
    if (!m_content.vfieldTable->IsEmpty())
    {
        throw std::runtime_error("VFields cannot be used with version 1.01 MEGA ROM files");
    }
    if (m_content.selectionType != 0)
    {
        throw std::runtime_error(kSelectionTypeWith101);
    }
}

void CROMMeldImpl::SetSelectionType(uint32_t type)
{
    if (type != 0 && m_content.version == kMegaROMVersion101)
    {
        throw std::runtime_error(kSelectionTypeWith101);
    }
    m_content.selectionType = type;
}

void CROMMeldImpl::AddImage(CRefPtr<IROMImage> image)
{
    if (image->GetFileNameCStr()[0] == '\0')
    {
        image->SetFileName("Image[" + std::to_string(m_content.images.size()) + "]");
    }
    m_content.images.push_back(std::move(image));
}

void CROMMeldImpl::ReplaceImage(CRefPtr<IROMImage> image, uint32_t index)
{
    if (index >= m_content.images.size())
    {
        return;
    }
    if (image->GetFileNameCStr()[0] == '\0')
    {
        image->SetFileName("Image[" + std::to_string(m_content.images.size()) + "]");
    }
    m_content.images[index] = std::move(image);
}

CRefPtr<IROMImage> CROMMeldImpl::GetImage(uint32_t index)
{
    if (index >= m_content.images.size())
    {
        throw std::out_of_range("MEGA ROM image index " + std::to_string(index) +
                                " is past the last image");
    }
    return m_content.images[index];
}

SelectionCriteria CROMMeldImpl::GetSelection()
{
    return SelectionCriteria{static_cast<int32_t>(m_content.selectionType), m_content.vfieldTable};
}

void CROMMeldImpl::ReadFromBuffer(const uint8_t* bytes, uint32_t length, CLog* log)
{
    std::istringstream input(std::string(reinterpret_cast<const char*>(bytes), length),
                             std::ios::binary);
    ReadFromStream(input, log);
}

void CROMMeldImpl::ReadFromStream(std::istream& input, CLog* log)
{
    // The read fills a fresh content with a VField table of its own. The
    // previous content stays aside until the stream has been read whole and
    // has passed the certificate check; any failure puts it back, so a caller
    // that catches the error still holds the images and settings it had.
    Content previous = m_content;
    m_content.vfieldTable = IVFieldTable::Create();
    Reset();
    try
    {
        if (m_runtimePackMode)
        {
            ReadRuntimePack(input, log);
            return;
        }
        ReadMegaROM(input, 0, log);
        if (!VerifyAllCertificates(log))
        {
            throw io_error("Error: Image failed certification check.");
        }
    }
    catch (...)
    {
        m_content = std::move(previous);
        throw;
    }
}

void CROMMeldImpl::WriteToStream(std::ostream& output, CLog* log)
{
    if (m_runtimePackMode)
    {
        WriteRuntimePack(output, log);
        return;
    }
    if (!CertifyPack(log))
    {
        throw io_error("Error: VBIOS Certification process for KRR failed.");
    }
    WriteMegaROM(output, 0, log);
    EndCertification(log);
}

void CROMMeldImpl::ReadFromFile(const std::string& fileName, CLog* log)
{
    const UserFileContents file = ReadUserFile(fileName, UserFileFormat::kMultiImage);
    if (!file.Read())
    {
        throw io_error("Cannot open file: " + fileName);
    }
    ReadFromBuffer(file.bytes.data(), static_cast<uint32_t>(file.bytes.size()), log);
}

void CROMMeldImpl::WriteToFile(const std::string& fileName, CLog* log)
{
    // The whole file is made first: never written through a link, and a
    // failed write keeps an old file as it was.
    std::ostringstream bytes;
    WriteToStream(bytes, log);
    const std::string text = bytes.str();
    const OutputFileOutcome written = WriteOutputFile(
        fileName, {std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())});
    if (written.status == OutputFileStatus::WriteFailed)
    {
        throw io_error("Error writing image to file");
    }
    if (written.status != OutputFileStatus::Written)
    {
        throw io_error("Cannot create file: " + fileName);
    }
}
