// The link against a real master service in a second process. (The road's own requests cross
// to the real service in tests/e2e and tests/faults.)
#include <future>
#include <stdexcept>
#include <tuple>

#include <gtest/gtest.h>

#include "ipc/rpc_test_util.h"
#include "rpc/hook_RpcCommunicationResource.h"
#include "support/test_support.h"

namespace {

// The first item of a request: a command id, or one of these.
constexpr int32_t kHangRequest = 30;
constexpr int32_t kStopRequest = 99;

}  // namespace

// Answers a command id and five integers with one number of the five, in order, and the id.
MHTEST_CHILD(master) {
  std::promise<void> stop;
  std::shared_future<void> stopped = stop.get_future().share();
  CRPCServer server(CComponentID(u"ID_TARN_MASTER"), [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t first = 0, r[5];
    request >> first;
    if (first == kHangRequest) {
      stopped.wait();  // never answers until the service is told to stop
    } else if (first == kStopRequest) {
      stop.set_value();
    } else {
      for (int32_t& x : r) request >> x;
      if (!request.AtEnd()) throw std::runtime_error("items left over");
      reply << r[0] * 10000 + r[1] * 1000 + r[2] * 100 + r[3] * 10 + r[4] << first;
    }
  });
  mhtest::TellParent("ready");
  stopped.wait();
  server.Stop();  // the stop request's reply still goes out
  return 0;
}

// The CRPCError code of a request whose first item is first, 0 if none.
static int RpcFailure(CRpcCommunicationResource& link, int32_t first) {
  CIPCMsgBuffer request, reply;
  request << first;
  return CodeOf<CRPCError>([&] { link.SendRequest(request, reply); });
}

TEST(RpcLinkE2E, NoServiceAndNoReplyRaiseAndTheNextRequestReconnects) {
  RuntimeDirScope rt;
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  CRpcCommunicationResource link(7, 0);
  EXPECT_EQ(link.Connect(), 0);
  EXPECT_EQ(link.Connect(), 0);  // a second Connect replaces the client (ASan sees a leak if not freed)
  EXPECT_EQ(RpcFailure(link, 1), CRPCError::NOT_LISTENING);

  mhtest::ChildProcess master("master", {});
  ASSERT_TRUE(master.WaitForLine("ready"));
  CRpcCommunicationResource::CRpcIPCData request, reply;
  std::tie(request.m_iRequest1, request.m_iRequest2, request.m_iRequest3, request.m_iRequest4,
           request.m_iRequest5) = std::make_tuple(1, 2, 3, 4, 5);
  reply.m_iRequest1 = -1;
  link.SendRequest(request, reply);  // reconnects after the failure
  // The command id went first; the reply's own request fields are left alone.
  EXPECT_EQ(std::make_tuple(reply.m_iReply1, reply.m_iReply2, reply.m_iRequest1),
            std::make_tuple(12345, 7, -1));

  EXPECT_EQ(RpcFailure(link, kHangRequest), CRPCError::TIMEOUT);
  // The late reply can never be taken for this one: the request goes on a new connection, with
  // the command id set since.
  link.Init(11, 0);
  request.m_iRequest1 = 5;
  link.SendRequest(request, reply);
  EXPECT_EQ(std::make_pair(reply.m_iReply1, reply.m_iReply2), std::make_pair(52345, 11));
  EXPECT_EQ(RpcFailure(link, kStopRequest), 0);
  EXPECT_EQ(master.Wait(), 0);
}
