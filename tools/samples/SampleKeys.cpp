// The sample generators' key folder (SampleKeys.h).

#include "SampleKeys.h"

#include "ToolArguments.h"
#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/crypto/TestKeys.h"

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{
constexpr const char* kKeyFiles[] = {"root.pem", "master.pem", "vendor.pem"};
constexpr size_t kKeyIndexes[] = {testkit::kRootKey, testkit::kMasterKey, testkit::kVendorKey};

std::string ReadText(const std::filesystem::path& name)
{
    std::ifstream file(name, std::ios::binary);
    if (!file)
    {
        throw ToolRefusal("cannot read " + name.string());
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

template <typename Bytes>
void Write(const std::filesystem::path& name, const Bytes& bytes)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
    {
        throw std::runtime_error("cannot write " + name.string());
    }
}
} // namespace

void UseSampleKeys(const std::filesystem::path& folder)
{
    size_t present = 0;
    for (const char* name : kKeyFiles)
    {
        present += std::filesystem::exists(folder / name) ? 1 : 0;
    }
    if (present != 0 && present != std::size(kKeyFiles))
    {
        throw ToolRefusal("the key folder " + folder.string() +
                          " holds some of root.pem, master.pem and vendor.pem, not all");
    }
    std::filesystem::create_directories(folder);
    for (size_t i = 0; i < std::size(kKeyFiles); ++i)
    {
        const std::filesystem::path file = folder / kKeyFiles[i];
        if (present != 0)
        {
            try
            {
                testkit::CTestKey::Adopt(kKeyIndexes[i], ReadText(file));
            }
            catch (const std::exception& error)
            {
                throw ToolRefusal(file.string() + ": " + error.what());
            }
        }
        else
        {
            Write(file, testkit::CTestKey::Get(kKeyIndexes[i]).PrivatePem());
            std::filesystem::permissions(file, std::filesystem::perms::owner_read |
                                                   std::filesystem::perms::owner_write);
        }
    }
    Write(folder / kRootCertificateFile, testkit::TestRootContainer());
    Write(folder / kRootPassPhraseFile, testkit::TestRootPassPhrase());
}
