// The command-line driver: one POP3 session that sweeps the mailbox from the last
// message to the first and deletes what the filter words select.
#include "quorrel/driver.h"

#include <cstdio>
#include <memory>

#include "console/console.h"
#include "netutil/exception.h"
#include "netutil/netutil.h"
#include "pop3/pop3.h"

namespace {

const char* const Banner = "Quorrel version 1.0 https://quorrel.example.org\r\n";
const char* const LineEnd = "\r\n";
const uint8_t DeletedColour = 14;  // bright yellow
const uint8_t SkippedColour = 2;   // green
const uint8_t FailedColour = 12;   // bright red

void Write(const std::string& Text) { std::fwrite(Text.data(), 1, Text.size(), stdout); }

// On a terminal the text must be out before the colour changes, and the user
// watches the sweep line by line. A file or pipe gets the same bytes either way,
// so there the output is left to the stream's buffer: two system calls less
// for every message of a large mailbox.
void FlushToTerminal() {
  if (StandardOutputIsTerminal()) std::fflush(stdout);
}

// Subjects come from whoever sent the mail. On a terminal a raw control byte
// could move the cursor, rewrite lines or retitle the window, so each one is
// shown in caret notation instead (ESC as "^[", DEL as "^?"). Files and pipes
// get the bytes as they are.
std::string Displayable(const std::string& Text) {
  if (!StandardOutputIsTerminal()) return Text;
  std::string Shown;
  Shown.reserve(Text.size());
  for (char C : Text) {
    unsigned char B = static_cast<unsigned char>(C);
    if (B < 0x20 || B == 0x7F) {
      Shown += '^';
      Shown += static_cast<char>(B ^ 0x40);
    } else {
      Shown += C;
    }
  }
  return Shown;
}

}  // namespace

std::string HeaderValue(const std::vector<std::string>& Lines, const std::string& Name) {
  const std::string LowerName = AsciiLower(Name);
  std::string Result;
  for (const std::string& Line : Lines) {
    if (AsciiLower(Line).rfind(LowerName, 0) != 0) continue;
    // The name is normally followed by a colon and a blank: skip two bytes
    // whatever they are. The last matching line wins.
    const size_t Start = Name.size() + 2;
    Result = Line.size() > Start ? Line.substr(Start) : std::string();
  }
  return Result;
}

bool MatchesAnyFilter(const std::vector<std::string>& Lines, const std::vector<std::string>& Filters) {
  std::vector<std::string> Words;
  Words.reserve(Filters.size());
  for (const std::string& Word : Filters) Words.push_back(AsciiLower(Word));
  for (const std::string& Line : Lines) {
    const std::string LowerLine = AsciiLower(Line);
    for (const std::string& Word : Words)
      if (!Word.empty() && LowerLine.find(Word) != std::string::npos) return true;
  }
  return false;
}

void WriteColoured(const std::string& Text, uint8_t Colour) {
  const uint16_t Saved = CurrentTextAttributes();
  SetForegroundColour(Colour);
  Write(Text);
  FlushToTerminal();
  SetTextColours(0, static_cast<uint8_t>(Saved));
}

int RunDriver(const std::string& ProgramName, const std::vector<std::string>& Args) {
  std::fputs(Banner, stdout);
  if (Args.size() < 3) {
    Write(ProgramName + " UserName Passwod Server [Filter1] [...]" + LineEnd);
    std::fflush(stdout);
    return 0;
  }

  const std::string& UserName = Args[0];
  const std::string& Password = Args[1];
  const std::string& Server = Args[2];
  auto FilterWords = std::make_unique<std::vector<std::string>>();
  for (size_t I = 3; I < Args.size(); ++I)
    if (Args[I].empty() || Args[I][0] != '-') FilterWords->push_back(Args[I]);
  const bool NoFilter = Args.size() == 3;

  auto Session = std::make_unique<TPOP3Send>();
  int32_t MarkedForDeletion = 0;
  try {
    Session->UserName = UserName;
    Session->Password = Password;
    Session->Host = Server;
    Session->Port = "110";
    if (!Session->Login()) throw Exception("Login Error");
    if (Session->Stat()) {
      Write(std::to_string(Session->MessageCount) + " emails found, " + std::to_string(Session->MailboxSize) +
            " bytes" + LineEnd);
      for (int32_t N = Session->MessageCount; N >= 1; --N) {
        Session->Top(N, 0);
        const std::string Subject = HeaderValue(Session->ReplyLines, "Subject");
        Write(std::to_string(N) + ":" + Displayable(Subject));
        FlushToTerminal();
        if (NoFilter) Write(std::string(" NO FILTER") + LineEnd);
        if (MatchesAnyFilter(Session->ReplyLines, *FilterWords)) {
          // A refused DELE leaves the message on the server: say so rather than
          // report a deletion that will not happen.
          if (Session->Dele(N)) {
            ++MarkedForDeletion;
            WriteColoured(" DELETED\r\n", DeletedColour);
          } else {
            WriteColoured(" NOT DELETED\r\n", FailedColour);
          }
        } else {
          WriteColoured(" SKIPPED\r\n", SkippedColour);
        }
        // Once the session has lost its connection every later command fails
        // at once; going on would only print a SKIPPED line for each of the
        // messages the server claimed, however many that was.
        if (!Session->Socket.HasSocket()) {
          Write(std::string("Connection lost: the sweep ends here") + LineEnd);
          break;
        }
      }
    }
  } catch (const Exception& E) {
    Write(E.Message() + LineEnd);
  }
  Session->Logout();
  // The server carries deletions out only when it confirms QUIT; a session that
  // broke off before that has deleted nothing, whatever the lines above said.
  if (MarkedForDeletion > 0 && Session->ReplyStatus != 1)
    Write(std::string("The server did not confirm QUIT: messages shown as DELETED may still be there") + LineEnd);
  std::fflush(stdout);
  Session.reset();
  FilterWords.reset();
  return 0;
}
