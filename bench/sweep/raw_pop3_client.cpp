// The floor for the mailbox sweep: a POP3 client on raw sockets with no library
// layer, doing the sweep's dialogue with the least work per message.
//   raw_pop3_client HOST PORT USER PASS WORD [--pipelined]
// One-at-a-time mode waits for each reply before the next command, as the tool
// does. Pipelined mode sends every TOP before reading (the server's own floor),
// then the DELEs, then QUIT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int Fd = -1;
std::string In;  // received, not yet consumed
size_t Pos = 0;

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "raw_pop3_client: %s\n", What);
  std::exit(2);
}

void SendAll(const std::string& S) {
  size_t Off = 0;
  while (Off < S.size()) {
    ssize_t N = send(Fd, S.data() + Off, S.size() - Off, MSG_NOSIGNAL);
    if (N <= 0) Fail("send failed");
    Off += size_t(N);
  }
}

void Fill() {
  if (Pos > 0 && Pos == In.size()) {
    In.clear();
    Pos = 0;
  }
  char Buf[65536];
  ssize_t N = recv(Fd, Buf, sizeof Buf, 0);
  if (N <= 0) Fail("connection lost");
  In.append(Buf, size_t(N));
}

// One line without its CR LF.
std::string_view Line() {
  for (;;) {
    size_t E = In.find("\r\n", Pos);
    if (E != std::string::npos) {
      std::string_view L(In.data() + Pos, E - Pos);
      Pos = E + 2;
      return L;
    }
    if (Pos > 0) {
      In.erase(0, Pos);
      Pos = 0;
    }
    Fill();
  }
}

bool Status() { return Line().substr(0, 3) == "+OK"; }

bool ContainsNoCase(std::string_view Hay, const std::string& LowerWord) {
  if (LowerWord.empty() || Hay.size() < LowerWord.size()) return false;
  for (size_t I = 0; I + LowerWord.size() <= Hay.size(); ++I) {
    size_t J = 0;
    while (J < LowerWord.size() && std::tolower(static_cast<unsigned char>(Hay[I + J])) == LowerWord[J]) ++J;
    if (J == LowerWord.size()) return true;
  }
  return false;
}

// Reads a TOP reply; true when some header line holds the word.
bool TopMatches(const std::string& Word) {
  if (!Status()) return false;
  bool Match = false;
  for (;;) {
    std::string_view L = Line();
    if (L == ".") return Match;
    if (!Match && ContainsNoCase(L, Word)) Match = true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) Fail("usage: HOST PORT USER PASS WORD [--pipelined]");
  bool Pipelined = argc > 6 && std::strcmp(argv[6], "--pipelined") == 0;
  std::string Word = argv[5];
  for (auto& C : Word) C = char(std::tolower(static_cast<unsigned char>(C)));

  Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(uint16_t(std::atoi(argv[2])));
  inet_pton(AF_INET, argv[1], &A.sin_addr);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0) Fail("connect failed");
  int One = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);

  if (!Status()) Fail("greeting");
  SendAll(std::string("USER ") + argv[3] + "\r\n");
  if (!Status()) Fail("USER");
  SendAll(std::string("PASS ") + argv[4] + "\r\n");
  if (!Status()) Fail("PASS");
  SendAll("STAT\r\n");
  std::string_view S = Line();
  if (S.substr(0, 3) != "+OK") Fail("STAT");
  int Count = std::atoi(std::string(S.substr(4)).c_str());

  std::vector<int> Doomed;
  if (!Pipelined) {
    for (int N = Count; N >= 1; --N) {
      SendAll("TOP " + std::to_string(N) + " 0\r\n");
      if (TopMatches(Word)) {
        SendAll("DELE " + std::to_string(N) + "\r\n");
        Status();
      }
    }
  } else {
    // A writer thread keeps the command stream flowing while this one reads, so
    // neither side blocks on a full socket buffer.
    std::thread Writer([Count] {
      std::string Batch;
      for (int N = Count; N >= 1; --N) {
        Batch += "TOP " + std::to_string(N) + " 0\r\n";
        if (Batch.size() > 16384) {
          SendAll(Batch);
          Batch.clear();
        }
      }
      SendAll(Batch);
    });
    for (int N = Count; N >= 1; --N)
      if (TopMatches(Word)) Doomed.push_back(N);
    Writer.join();
    std::string Batch;
    for (int N : Doomed) Batch += "DELE " + std::to_string(N) + "\r\n";
    SendAll(Batch);
    for (size_t I = 0; I < Doomed.size(); ++I) Status();
  }
  SendAll("QUIT\r\n");
  Status();
  close(Fd);
  return 0;
}
