#include "cli/local_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace px::test {

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string HttpGet(uint16_t port, const std::string& target) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    // HTTP/1.0: the server closes the connection after its answer, which
    // comes whole, not in chunks.
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
        reply.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  ::close(fd);
  const std::size_t body = reply.find("\r\n\r\n");
  return reply.rfind("HTTP/1.0 200", 0) == 0 && body != std::string::npos ? reply.substr(body + 4)
                                                                          : std::string();
}

ServerProcess::ServerProcess(std::vector<std::string> args, const std::filesystem::path& log) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (posix_spawn(&pid_, args.front().c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

ServerProcess::~ServerProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  // Prometheus closes its database before it exits; one that hangs there
  // must not hang the suite.
  if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; },
               std::chrono::seconds(10))) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
}

std::vector<std::string> NodeExporterArgs(const std::filesystem::path& textfiles, uint16_t port) {
  return {kNodeExporter, "--web.listen-address=127.0.0.1:" + std::to_string(port),
          "--collector.disable-defaults", "--collector.textfile",
          "--collector.textfile.directory=" + textfiles.string()};
}

}  // namespace px::test
