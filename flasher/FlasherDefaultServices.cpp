// The services the engine is created with: the layers beneath it, reached
// through the same setters tests use to install fakes.

#include "flasher/FlasherDefaultServices.h"

#include "common/core/crypto/ROMMeldROMVISEImpl.h"
#include "core/platform/PlatformServices.h"
#include "flasher/FlasherImpl.h"

#include <stdexcept>

namespace
{
using MeldMaker = std::function<CRefPtr<CROMMeldROMVISEImpl>()>;

CertificateGateServices GateServicesOver(MeldMaker makeMeld)
{
    CertificateGateServices services;
    // A fresh meld per check: the root is deciphered for it, and nothing of
    // one image's check stays behind for the next.
    services.verifyCertificateChain = [makeMeld](CRefPtr<IROMImage> image, CLog* log)
    {
        CRefPtr<CROMMeldROMVISEImpl> meld = makeMeld();
        meld->AddImage(image);
        return meld->VerifyCertificateChain(image.get(), log);
    };
    services.findCertificatePackage = [](CRefPtr<IROMImage> image)
    { return image->FindBCRTBlock(); };
    // Newer adapters: the microcode behind the EEPROM checks the image; its
    // answer also decides which ranges the next secure write may program.
    services.verifyByMicrocode = [](CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                    CRefPtr<IROMImage> image, CRefPtr<IBCRTCert> certificate,
                                    CLog* log, bool showProgress)
    {
        CLog unused;
        return static_cast<int32_t>(
            eeprom->VerifyImage(adapter, image, certificate, log ? *log : unused, showProgress));
    };
    return services;
}

class CKestrixMicrocodeLoader : public CReferenceCountImpl, public IMicrocodeLoader
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit CKestrixMicrocodeLoader(CRefPtr<CKestrixLoader> loader) : m_loader(std::move(loader))
    {
    }

    uint32_t GetEngineType() override { return m_loader->GetEngineType(); }
    void SetPreOSLoaded(bool loaded) override { m_loader->keepRunning = loaded; }
    void Close() override { m_loader->Close(); }
    void ResetEngine(CRefPtr<IDisplayAdapter> adapter) override
    {
        // Microcode written into an engine still running would run half old,
        // half new.
        if (!m_loader->ResetEngine(*adapter))
        {
            throw std::runtime_error(
                "Kestrix engine reset did not complete.  kestrix uCode load failed.");
        }
    }
    void SetSecureLoading(bool secure, uint32_t secureBase, uint32_t size) override
    {
        m_loader->image.secure = secure;
        if (secure)
        {
            m_loader->image.secureStart = secureBase;
            m_loader->image.secureEnd = secureBase + size;
        }
    }
    void WriteMemory(CRefPtr<IDisplayAdapter> adapter, EMicrocodeMemory memory,
                     uint32_t destination, std::span<const uint8_t> bytes) override
    {
        // The engine's memories take little-endian words; a last partial
        // word is padded with zeros and only its own bytes are written.
        std::vector<uint32_t> words((bytes.size() + 3) / 4, 0);
        for (size_t i = 0; i < bytes.size(); ++i)
        {
            words[i / 4] |= static_cast<uint32_t>(bytes[i]) << (8 * (i % 4));
        }
        m_loader->WriteMemory(memory == EMicrocodeMemory::Code ? kKestrixImem : kKestrixDmem,
                              destination, static_cast<uint32_t>(bytes.size()), words, *adapter);
    }
    void StartEngine(CRefPtr<IDisplayAdapter> adapter, uint32_t bootVector) override
    {
        m_loader->StartEngine(*adapter, bootVector);
    }
    // The Kestrix loader closes its session only when it is the one the
    // operating-system layer holds.
    IReferenceCount* GetRegistration() override { return m_loader.get(); }

private:
    CRefPtr<CKestrixLoader> m_loader;
};
} // namespace

CertificateGateServices DefaultCertificateGateServices()
{
    // The root in force when the check runs: the platform's, which is the
    // built-in root on real hardware.
    return GateServicesOver(
        []
        {
            const TrustedRoot root = GetTrustedRoot();
            return CROMMeldROMVISEImpl::Create(root.container, root.passPhrase);
        });
}

CertificateGateServices CertificateGateServicesWithRoot(std::vector<uint8_t> rootContainer,
                                                        std::vector<uint8_t> passPhrase)
{
    return GateServicesOver([rootContainer, passPhrase]
                            { return CROMMeldROMVISEImpl::Create(rootContainer, passPhrase); });
}

UEFIImageServices DefaultUEFIImageServices()
{
    UEFIImageServices services;
    services.describeSupport = [](CRefPtr<IROMImage> rom) { return rom->GetUEFISupport(); };
    // The image layer checks that both images allow the merge and says why
    // not in the error it raises.
    services.merge = [](CRefPtr<IROMImage> rom, CRefPtr<IROMImage> uefiImage, CLog* log)
    { return rom->UpdateUEFIImage(uefiImage->GetBuffer(), uefiImage->GetLoadedSize(), log); };
    return services;
}

CRefPtr<IMicrocodeLoader> AdaptKestrixLoader(CRefPtr<CKestrixLoader> loader)
{
    return new CKestrixMicrocodeLoader(std::move(loader));
}

MicrocodeLoaderFactory DefaultMicrocodeLoaderFactory()
{
    return [](const MicrocodeLoaderRequest& request)
    {
        KestrixLoadRequest load;
        load.userInterface = request.ui;
        load.bus = request.bus;
        load.eepromDatabase = request.eepromDatabase;
        load.adapter = request.adapter;
        load.boardDatabase = request.boards;
        load.engineType = request.engineType;
        load.console = request.wiuConsole;
        load.detailed = request.detailed;
        load.log = request.log;
        CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(load);
        // The EEPROM keeps a plain pointer: the session ends when the
        // operating-system layer, the loader's last holder, lets go of it.
        request.eeprom->SetLoader(loader.get());
        return AdaptKestrixLoader(loader);
    };
}

void InstallDefaultServices(CFlasherImpl& engine)
{
    engine.SetCertificateGateServices(DefaultCertificateGateServices());
    engine.SetUEFIImageServices(DefaultUEFIImageServices());
    engine.SetMicrocodeLoaderFactory(DefaultMicrocodeLoaderFactory());
}
