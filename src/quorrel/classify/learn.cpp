#include "quorrel/classify/learn.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "quorrel/classify/classifier.h"

namespace quorrel {

namespace {

constexpr std::uintmax_t MostBytes = 64 * 1024 * 1024;

// The messages a name stands for, in name order within a folder.
std::vector<std::string> MessagesAt(const std::string& Name) {
  namespace fs = std::filesystem;
  std::error_code Error;
  if (!fs::is_directory(Name, Error)) return {Name};
  std::vector<std::string> Files;
  for (const char* Sub : {"", "/cur", "/new"}) {
    for (const fs::directory_entry& Entry : fs::directory_iterator(Name + Sub, Error))
      if (Entry.is_regular_file(Error)) Files.push_back(Entry.path().string());
  }
  std::sort(Files.begin(), Files.end());
  return Files;
}

TStatus ReadMessage(const std::string& Path, std::string& Text) {
  std::error_code Error;
  const std::uintmax_t Size = std::filesystem::file_size(Path, Error);
  if (Error) return TStatus::Fail(TFailureKind::NoInput, Path + ": " + Error.message());
  if (Size > MostBytes) return TStatus::Fail(TFailureKind::NoInput, Path + ": larger than 64 MiB, not a message");
  std::ifstream In(Path, std::ios::binary);
  Text.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
  if (!In && !In.eof()) return TStatus::Fail(TFailureKind::NoInput, Path + ": cannot be read");
  return TStatus::Ok();
}

}  // namespace

TLearnt LearnMessages(const TClassifierSettings& Settings, const std::function<void(const std::string&)>& Complain) {
  TLearnt Out;
  const std::unique_ptr<TClassifier> Classifier = MakeClassifier(Settings);
  const auto Fail = [&](const TStatus& Why) {
    Complain(Why.Message());
    if (Out.First.Good()) Out.First = Why;
  };
  if (const TStatus Ready = Classifier->Check(); !Ready && Settings.Kind != TClassifierKind::Bogofilter) {
    // bogofilter without word lists is what teaching starts from.
    Fail(Ready);
    return Out;
  }
  for (const bool Spam : {true, false}) {
    for (const std::string& Name : Spam ? Settings.LearnSpam : Settings.LearnHam) {
      const std::vector<std::string> Files = MessagesAt(Name);
      if (Files.empty()) Fail(TStatus::Fail(TFailureKind::NoInput, Name + ": a folder without messages"));
      for (const std::string& File : Files) {
        std::string Text;
        if (const TStatus Read = ReadMessage(File, Text); !Read) {
          Fail(Read);
          continue;
        }
        if (const TStatus Taught = Classifier->Learn(AsTaught(Text), Spam); !Taught) {
          Fail(Taught.Within(File + ": "));
          continue;
        }
        ++(Spam ? Out.Spam : Out.Ham);
      }
    }
  }
  return Out;
}

}  // namespace quorrel
