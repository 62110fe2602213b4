#include "runtime/exceptions.h"

#include <exception>

namespace zelvic::rt {

Exception::Exception(std::wstring message)
    : message_(std::move(message)), address_(__builtin_extract_return_addr(__builtin_return_address(0))) {}

Exception::~Exception() = default;

EExternal::EExternal(std::wstring message, unsigned long code, void* address)
    : Exception(std::move(message)), code_(code), exception_address_(address) {}

// The three readers below look at the exception being handled by throwing it
// again; the last catch of each is the answer for an object of any other
// type, which is what they exist to give.
std::wstring CurrentExceptionMessage(const std::wstring& fallback) {
  if (!std::current_exception()) return fallback;
  try {
    throw;
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    const char* w = e.what();
    std::wstring out;
    for (; *w; ++w) out.push_back(static_cast<unsigned char>(*w));
    return out;
  } catch (...) {
    return fallback;
  }
}

void* CurrentExceptionAddress() noexcept {
  if (!std::current_exception()) return nullptr;
  try {
    throw;
  } catch (const EExternal& e) {
    return e.ExceptionAddress();
  } catch (const Exception& e) {
    return e.Address();
  } catch (...) {
    return nullptr;
  }
}

bool CurrentIsException() noexcept {
  if (!std::current_exception()) return false;
  try {
    throw;
  } catch (const Exception&) {
    return true;
  } catch (const std::exception&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace zelvic::rt
