#include "support/tls_peer.h"

namespace quorrel {

namespace {

bool Run(const std::string& Command) { return RunCommand(Command + " >/dev/null 2>&1") == 0; }

// A key and a certificate for Name signed by the CA in Dir/Ca (ca.pem, ca.key).
bool MakeSigned(const std::string& Dir, const std::string& Ca, const std::string& Base, const std::string& Name,
                const std::string& AltNames, const std::string& KeyOptions) {
  std::string Ext = Dir + "/" + Base + ".ext";
  WriteFile(Ext, AltNames.empty() ? std::string("basicConstraints=CA:FALSE\n")
                                  : "basicConstraints=CA:FALSE\nsubjectAltName=" + AltNames + "\n");
  return Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 " + KeyOptions + " -out " + Dir +
             "/" + Base + ".key") &&
         Run("openssl req -new -key " + Dir + "/" + Base + ".key " +
             (KeyOptions.empty() ? "" : "-passin pass:'client pass phrase' ") + "-subj /CN=" + Name + " -out " +
             Dir + "/" + Base + ".csr") &&
         Run("openssl x509 -req -in " + Dir + "/" + Base + ".csr -CA " + Dir + "/" + Ca + ".pem -CAkey " + Dir +
             "/" + Ca + ".key -CAcreateserial -days 2 -extfile " + Ext + " -out " + Dir + "/" + Base + ".pem");
}

bool MakeCa(const std::string& Dir, const std::string& Base, const std::string& Name) {
  return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj '/CN=" + Name +
             "' -keyout " + Dir + "/" + Base + ".key -out " + Dir + "/" + Base + ".pem");
}

}  // namespace

bool TTlsFiles::Make() {
  Dir = MakeTempDir("quorrel-tls");
  if (Dir.empty()) return false;
  CaFile = Dir + "/ca.pem";
  OtherCaFile = Dir + "/otherca.pem";
  ServerCert = Dir + "/server.pem";
  ServerKey = Dir + "/server.key";
  OtherCert = Dir + "/other.pem";
  OtherKey = Dir + "/other.key";
  ClientCert = Dir + "/client.pem";
  ClientKey = Dir + "/client.key";
  return MakeCa(Dir, "ca", "Quorrel Test CA") && MakeCa(Dir, "otherca", "Unrelated Test CA") &&
         MakeSigned(Dir, "ca", "server", "localhost", "DNS:localhost,IP:127.0.0.1", "") &&
         MakeSigned(Dir, "ca", "other", "other.example", "DNS:other.example", "") &&
         MakeSigned(Dir, "ca", "client", "quorrel-client", "",
                    "-aes-128-cbc -pass pass:'" + ClientKeyPassword + "'");
}

void TTlsFiles::Remove() {
  if (!Dir.empty()) RemoveTree(Dir);
  Dir.clear();
}

bool TTlsServer::Start(const std::string& Cert, const std::string& Key, const std::vector<std::string>& Extra) {
  Port = FreeTcpPort();
  std::vector<std::string> Argv = {"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(Port),
                                   "-cert",   Cert,       "-key",    Key,
                                   "-rev"};
  Argv.insert(Argv.end(), Extra.begin(), Extra.end());
  return Process.Start(Argv) && WaitForPort("127.0.0.1", Port);
}

bool TPlainServer::Start(const std::string& Dir) {
  std::string Script = Dir + "/plain_server.py";
  WriteFile(Script,
            "import socket, sys, threading\n"
            "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
            "s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen(8)\n"
            "def serve(c):\n"
            "    with c:\n"
            "        while True:\n"
            "            d = c.recv(65536)\n"
            "            if not d: return\n"
            "            n = d.count(b'PING')\n"
            "            c.sendall(b'PONG\\r\\n' * n if n else b'-ERR no tls here\\r\\n')\n"
            "while True:\n"
            "    c, _ = s.accept()\n"
            "    threading.Thread(target=serve, args=(c,), daemon=True).start()\n");
  Port = FreeTcpPort();
  return Process.Start({"python3", Script, std::to_string(Port)}) && WaitForPort("127.0.0.1", Port);
}

}  // namespace quorrel
