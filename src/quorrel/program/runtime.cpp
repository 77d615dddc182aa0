// Program start and end: module starts in dependency order, the driver, module
// ends in reverse order, and the report of an exception that nothing caught.
#include <cxxabi.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "blocksock/block_socket.h"
#include "netutil/exception.h"
#include "quorrel/program/driver.h"
#include "quorrel/program/runtime.h"
#include "sockapi/sockapi.h"
#include "tlsbind/tlsbind.h"

namespace quorrel {

namespace {

std::string ReadableTypeName(const std::type_info& Type) {
  int Status = 0;
  std::unique_ptr<char, void (*)(void*)> Name(abi::__cxa_demangle(Type.name(), nullptr, nullptr, &Status),
                                              std::free);
  return Status == 0 && Name ? std::string(Name.get()) : std::string(Type.name());
}

// What the report says about the exception in flight: its class name and message.
void DescribeCurrentException(std::string& ClassName, std::string& Message) {
  try {
    throw;
  } catch (const Exception& E) {
    ClassName = E.ClassName();
    Message = E.Message();
  } catch (const std::exception& E) {
    ClassName = ReadableTypeName(typeid(E));
    Message = E.what();
  } catch (...) {
    const std::type_info* Type = abi::__cxa_current_exception_type();
    ClassName = Type ? ReadableTypeName(*Type) : "unknown";
    Message = "Unknown exception";
  }
}

// Must be called from inside a catch block.
__attribute__((noinline)) void ReportEscapedException(const std::string& ProgramName) {
  void* Address = __builtin_return_address(0);
  std::string ClassName, Message;
  DescribeCurrentException(ClassName, Message);
  std::cout.flush();
  std::fflush(stdout);
  const char* Stop = !Message.empty() && Message.back() == '.' ? "" : ".";
  std::fprintf(stderr, "Exception %s in module %s at %p.\r\n%s%s\r\n", ClassName.c_str(), ProgramName.c_str(),
               Address, Message.c_str(), Stop);
  std::fputs("\r\n", stderr);
  std::fflush(stderr);
}

struct TModule {
  void (*Start)();
  void (*End)();
};

}  // namespace

int RunProgram(int argc, char** argv) {
  std::string Name = argc > 0 && argv[0] ? argv[0] : "quorrel";
  auto Slash = Name.rfind('/');
  if (Slash != std::string::npos) Name = Name.substr(Slash + 1);

  static const TModule Modules[] = {
      {SockApiModuleStart, SockApiModuleEnd},
      {BlockSockModuleStart, BlockSockModuleEnd},
      {TlsBindModuleStart, TlsBindModuleEnd},
  };
  constexpr size_t ModuleCount = sizeof Modules / sizeof Modules[0];

  // A reader that goes away (a pipe into "head") must not kill the program in
  // the middle of a sweep; the failed write is noticed and handled instead.
  signal(SIGPIPE, SIG_IGN);

  int Status = 0;
  size_t Started = 0;
  try {
    for (; Started < ModuleCount; ++Started) Modules[Started].Start();
    Status = RunDriver(Name, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0)));
  } catch (...) {
    ReportEscapedException(Name);
    Status = 1;
  }
  // Only the modules that started are ended, last first.
  while (Started > 0) {
    --Started;
    try {
      Modules[Started].End();
    } catch (...) {
      ReportEscapedException(Name);
      Status = 1;
    }
  }
  std::cout.flush();
  std::fflush(stdout);
  return Status;
}

}  // namespace quorrel
