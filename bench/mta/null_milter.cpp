// A milter that scans nothing but costs what a scanner's milter cannot avoid: it asks the MTA for the
// envelope, every header and the whole body, as a scanner must, and accepts every message. The MTA
// benchmark's row "do-nothing milter" is the milter protocol alone, next to the MTA without one.
//
//   null_milter unix:/path/milter.sock | inet:PORT@127.0.0.1
//
// Prints "ready" once the socket listens (a Unix socket is opened to every local user: it lives in
// the benchmark's private folder, and the MTA connects as its own user). Stops on SIGTERM.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <libmilter/mfapi.h>

namespace {

sfsistat OnEnvelope(SMFICTX*, char**) {
  return SMFIS_CONTINUE;
}
sfsistat OnHeader(SMFICTX*, char*, char*) {
  return SMFIS_CONTINUE;
}
sfsistat OnEndOfHeaders(SMFICTX*) {
  return SMFIS_CONTINUE;
}
sfsistat OnBody(SMFICTX*, unsigned char*, size_t) {
  return SMFIS_CONTINUE;
}
sfsistat OnEndOfMessage(SMFICTX*) {
  return SMFIS_ACCEPT;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s unix:/path | inet:PORT@HOST\n", argv[0]);
    return 2;
  }
  const std::string socket = argv[1];
  char name[] = "mailhook-null-milter";
  smfiDesc desc{};
  desc.xxfi_name = name;
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_envfrom = OnEnvelope;
  desc.xxfi_envrcpt = OnEnvelope;
  desc.xxfi_header = OnHeader;
  desc.xxfi_eoh = OnEndOfHeaders;
  desc.xxfi_body = OnBody;
  desc.xxfi_eom = OnEndOfMessage;
  if (smfi_setconn(argv[1]) != MI_SUCCESS || smfi_register(desc) != MI_SUCCESS ||
      smfi_opensocket(true) != MI_SUCCESS) {
    std::fprintf(stderr, "null_milter: cannot listen on %s\n", argv[1]);
    return 1;
  }
  if (socket.rfind("unix:", 0) == 0 && chmod(socket.c_str() + 5, 0666) != 0) {
    std::fprintf(stderr, "null_milter: chmod %s: %s\n", socket.c_str() + 5, std::strerror(errno));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return smfi_main() == MI_SUCCESS ? 0 : 1;
}
