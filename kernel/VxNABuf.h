#pragma once
// VxNABuf: a narrow byte string with a length-prefixed serialised form: a u32
// little-endian byte count followed by the bytes, no terminator.
#include <cstddef>
#include <cstdint>
#include <string>

class VxNASerializeInterface {
 public:
  virtual ~VxNASerializeInterface() = default;
  virtual std::uint32_t serializedSize() const = 0;
  // Appends the serialised form to out.
  virtual void serialize(std::string& out) const = 0;
  // Reads the serialised form from data; returns the bytes consumed, 0 when the
  // input is too short for the count or the count runs past its end.
  virtual std::size_t deserialize(const char* data, std::size_t size) = 0;
};

class ser_string : public VxNASerializeInterface, public std::string {
 public:
  using std::string::string;
  ser_string() = default;
  explicit ser_string(std::string text) : std::string(std::move(text)) {}

  std::uint32_t serializedSize() const override;
  void serialize(std::string& out) const override;
  std::size_t deserialize(const char* data, std::size_t size) override;
};

class VxNABuf : public ser_string {
 public:
  using ser_string::ser_string;
};
