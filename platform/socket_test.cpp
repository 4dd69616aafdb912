#include "platform/socket.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

namespace kestrel::platform {
namespace {

// Passive ports come from the system's ephemeral range, each one distinct
// while held, and each one accepts a connection.
TEST(ListenTcpEphemeral, HeldListenersGetDistinctPortsOfTheEphemeralRangeThatAccept) {
  int low = 32768, high = 60999;
  if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    EXPECT_EQ(std::fscanf(f, "%d %d", &low, &high), 2);
    std::fclose(f);
  }
  std::vector<Fd> held;
  std::set<int> ports;
  for (int i = 0; i < 200; ++i) {
    int port = 0;
    Result<Fd> listener = listenTcpEphemeral("127.0.0.1", 1, port);
    ASSERT_TRUE(listener.ok()) << listener.status.message;
    EXPECT_EQ(port, localEndpoint(listener.value.get()).port);
    EXPECT_GE(port, low);
    EXPECT_LE(port, high);
    ports.insert(port);
    held.push_back(std::move(listener.value));
  }
  EXPECT_EQ(ports.size(), held.size());

  Result<Fd> client = connectTcp("127.0.0.1", {"127.0.0.1", *ports.begin()});
  ASSERT_TRUE(client.ok()) << client.status.message;
  auto listening = std::find_if(held.begin(), held.end(),
                                [&](const Fd& fd) { return localEndpoint(fd.get()).port == *ports.begin(); });
  pollfd ready{listening->get(), POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 5000), 1);
  Endpoint peer;
  Result<Fd> accepted = acceptTcp(listening->get(), &peer);
  ASSERT_TRUE(accepted.ok()) << accepted.status.message;
  EXPECT_EQ(peer.address, "127.0.0.1");
  EXPECT_EQ(peer.port, localEndpoint(client.value.get()).port);
}

}  // namespace
}  // namespace kestrel::platform
