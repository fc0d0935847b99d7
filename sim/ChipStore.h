#pragma once
// The contents of one simulated memory chip (an EEPROM, an MCU's flash). When
// the store has a file, every change is written to it before the call
// returns, so a run that stops mid-write leaves a half-written chip that the
// next run sees.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class CSimChipStore
{
public:
    // Memory only, filled with `fill`.
    CSimChipStore(size_t size, uint8_t fill = 0xFF);
    // Backed by a file: loaded when it exists (a shorter file is padded with
    // `fill`, a longer one refused), created filled otherwise.
    CSimChipStore(const std::string& path, size_t size, uint8_t fill = 0xFF);
    ~CSimChipStore();
    CSimChipStore(const CSimChipStore&) = delete;
    CSimChipStore& operator=(const CSimChipStore&) = delete;

    size_t Size() const { return m_bytes.size(); }
    const std::string& Path() const { return m_path; }
    uint8_t At(size_t offset) const;
    std::vector<uint8_t> Read(size_t offset, size_t length) const;
    void Write(size_t offset, std::span<const uint8_t> bytes);
    void Fill(size_t offset, size_t length, uint8_t value);

private:
    // Reads the file's contents and pads a short file to `size`.
    void Load(size_t size);
    void CheckRange(size_t offset, size_t length) const;
    void WriteBack(size_t offset, size_t length);

    std::string m_path;
    std::vector<uint8_t> m_bytes;
    int m_fd = -1;
};
