#include "blocksock/socket_error.h"

namespace quorrel {

namespace {

std::string FormatMessage(int32_t Number, const std::string& Text) {
  return "TCP/IP Socket error " + std::to_string(Number) + ": " + Text;
}

}  // namespace

ESocketError::ESocketError(int32_t Number, const std::string& Text)
    : Exception(FormatMessage(Number, Text)), ErrorNumber(Number), ErrorText(Text) {}

ESocketError::ESocketError(const std::string& Message, int32_t Number, const std::string& Text)
    : Exception(Message), ErrorNumber(Number), ErrorText(Text) {}

}  // namespace quorrel
