#include "varnex/VarnexPack.h"

#include <functional>

namespace
{

// Walks the format, calling visit(letter) once per element. Stops with false
// at a bad letter, a count without a letter, or when visit refuses.
bool WalkFormat(std::string_view format, bool allowQuad, const std::function<bool(char)>& visit)
{
    size_t position = 0;
    while (position < format.size() && format[position] != '\0')
    {
        uint16_t count = 0;
        while (position < format.size() && format[position] >= '0' && format[position] <= '9')
        {
            count = static_cast<uint16_t>(count * 10 + (format[position] - '0'));
            ++position;
        }
        if (count == 0)
        {
            count = 1;
        }
        if (position >= format.size() || format[position] == '\0')
        {
            return false;
        }
        const char letter = format[position++];
        const bool known = letter == 'b' || letter == 's' || letter == 'w' || letter == 'd' ||
                           (allowQuad && letter == 'q');
        if (!known)
        {
            return false;
        }
        for (uint32_t i = 0; i < count; ++i)
        {
            if (!visit(letter))
            {
                return false;
            }
        }
    }
    return true;
}

size_t ElementBytes(char letter)
{
    switch (letter)
    {
    case 'w':
        return 2;
    case 'd':
        return 4;
    case 'q':
        return 8;
    default:
        return 1;
    }
}

size_t ElementValues(char letter)
{
    return letter == 'q' ? 2 : 1;
}

bool Pack(std::string_view format, std::span<uint8_t> output, std::span<const int32_t> values,
          bool allowQuad)
{
    size_t byteAt = 0;
    size_t valueAt = 0;
    return WalkFormat(format, allowQuad,
                      [&](char letter)
                      {
                          const size_t bytes = ElementBytes(letter);
                          const size_t count = ElementValues(letter);
                          if (output.size() - byteAt < bytes || values.size() - valueAt < count)
                          {
                              return false;
                          }
                          uint64_t value = static_cast<uint32_t>(values[valueAt]);
                          if (letter == 'q')
                          {
                              value |= uint64_t{static_cast<uint32_t>(values[valueAt + 1])} << 32;
                          }
                          for (size_t i = 0; i < bytes; ++i)
                          {
                              output[byteAt + i] = static_cast<uint8_t>(value >> (8 * i));
                          }
                          byteAt += bytes;
                          valueAt += count;
                          return true;
                      });
}

bool Unpack(std::string_view format, std::span<const uint8_t> input, std::span<int32_t> values,
            bool allowQuad)
{
    size_t byteAt = 0;
    size_t valueAt = 0;
    return WalkFormat(format, allowQuad,
                      [&](char letter)
                      {
                          const size_t bytes = ElementBytes(letter);
                          const size_t count = ElementValues(letter);
                          if (input.size() - byteAt < bytes || values.size() - valueAt < count)
                          {
                              return false;
                          }
                          uint64_t value = 0;
                          for (size_t i = 0; i < bytes; ++i)
                          {
                              value |= uint64_t{input[byteAt + i]} << (8 * i);
                          }
                          if (letter == 's')
                          {
                              values[valueAt] = static_cast<int8_t>(value);
                          }
                          else
                          {
                              values[valueAt] = static_cast<int32_t>(static_cast<uint32_t>(value));
                          }
                          if (letter == 'q')
                          {
                              values[valueAt + 1] =
                                  static_cast<int32_t>(static_cast<uint32_t>(value >> 32));
                          }
                          byteAt += bytes;
                          valueAt += count;
                          return true;
                      });
}

} // namespace

std::optional<VarnexFormatSize> MeasureFormat(std::string_view format)
{
    VarnexFormatSize size;
    const bool valid = WalkFormat(format, true,
                                  [&](char letter)
                                  {
                                      size.bytes += ElementBytes(letter);
                                      size.values += ElementValues(letter);
                                      return true;
                                  });
    if (!valid)
    {
        return std::nullopt;
    }
    return size;
}

bool PackFields(std::string_view format, std::span<uint8_t> output, std::span<const int32_t> values)
{
    return Pack(format, output, values, true);
}

bool UnpackFields(std::string_view format, std::span<const uint8_t> input,
                  std::span<int32_t> values)
{
    return Unpack(format, input, values, true);
}

bool PackRecord(std::string_view format, std::span<uint8_t> output, std::span<const int32_t> values)
{
    return Pack(format, output, values, false);
}

bool UnpackRecord(std::string_view format, std::span<const uint8_t> input,
                  std::span<int32_t> values)
{
    return Unpack(format, input, values, false);
}
