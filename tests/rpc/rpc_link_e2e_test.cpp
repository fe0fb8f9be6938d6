// The link against a real master service in a second process: the service below reads every
// request item by item, in the order and with the types the hook side must write them.
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "dbg/dbg_log.h"
#include "foundation/hook_Log.h"
#include "ipc/runtime_dir_scope.h"
#include "rpc/hook_CmdHookKetra.h"
#include "rpc/hook_RpcCommunicationResource.h"
#include "support/test_support.h"

namespace {

// Request kinds the test service tells apart by the first item; any other first item is the
// command id of an integer request.
constexpr int32_t kInfoRequest = 20;
constexpr int32_t kHangRequest = 30;
constexpr int32_t kStopRequest = 99;

// Reply to an info request, built from the raw items so that an item out of place shows.
CCmdHookKetraScanResult AnswerInfo(const CIPCMsgBuffer& request) {
  int32_t v1 = 0, v2 = 0, v3 = 0;
  OS::x_wstring str;
  uint32_t u = 0, count = 0;
  CIPCStringList vec;
  request >> v1 >> v2 >> str >> v3 >> u >> vec >> count;
  CCmdHookKetraScanResult result;
  result.m_iValue1 = v1 * 10000 + v2 * 100 + v3;
  for (uint32_t i = 0; i < count; ++i) {
    OS::x_wstring key;
    uint32_t value = 0;
    request >> key >> value;
    result.m_mapValues1[key] = value;
  }
  result.m_mapValues2[str] = u;
  for (uint32_t i = 0; i < vec.size(); ++i) result.m_mapValues3[vec[i]] = i;
  if (!request.AtEnd()) throw std::runtime_error("items left over");
  return result;
}

}  // namespace

MHTEST_CHILD(master) {
  (void)args;
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  CRPCServer server(CComponentID(u"ID_TARN_MASTER"), [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t first = 0;
    request >> first;
    if (first == kInfoRequest) {
      reply << AnswerInfo(request);
    } else if (first == kHangRequest) {
      // Never answers until the service is told to stop.
      std::cout << "hang" << std::endl;
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return stop; });
    } else if (first == kStopRequest) {
      std::lock_guard<std::mutex> lk(m);
      stop = true;
      cv.notify_all();
    } else {
      int32_t r[5];
      for (int32_t& x : r) request >> x;
      if (!request.AtEnd()) throw std::runtime_error("items left over");
      reply << r[0] * 10000 + r[1] * 1000 + r[2] * 100 + r[3] * 10 + r[4] << first;
    }
  });
  std::cout << "ready" << std::endl;
  {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return stop; });
  }
  server.Stop();  // the stop request's reply still goes out
  return 0;
}

namespace {

// Starts the service and waits for its "ready" line.
std::unique_ptr<mhtest::ChildProcess> StartMaster() {
  auto child = std::make_unique<mhtest::ChildProcess>("master", std::vector<std::string>{});
  std::string line;
  EXPECT_TRUE(child->ReadLine(line));
  EXPECT_EQ(line, "ready");
  return child;
}

void StopMaster(CRpcCommunicationResource& link, mhtest::ChildProcess& master) {
  CIPCMsgBuffer request, reply;
  request << kStopRequest;
  link.SendRequest(request, reply);
  EXPECT_EQ(master.Wait(), 0);
}

int RpcFailure(CRpcCommunicationResource& link, int32_t first) {
  CIPCMsgBuffer request, reply;
  request << first;
  try {
    link.SendRequest(request, reply);
  } catch (const CRPCError& e) {
    return e.GetCode();
  }
  return 0;
}

}  // namespace

TEST(RpcLinkE2E, IntegerRequestsAndCommandMessagesCrossToTheService) {
  RuntimeDirScope rt;
  auto master = StartMaster();

  CRpcCommunicationResource link(7, 9);
  EXPECT_EQ(link.Connect(), 0);
  EXPECT_EQ(link.Connect(), 0);  // a second Connect replaces the client (ASan sees a leak if not freed)
  CRpcCommunicationResource::CRpcIPCData request, reply;
  request.m_iRequest1 = 1;
  request.m_iRequest2 = 2;
  request.m_iRequest3 = 3;
  request.m_iRequest4 = 4;
  request.m_iRequest5 = 5;
  reply.m_iRequest1 = -1;
  reply.m_iRequest5 = -5;
  link.SendRequest(request, reply);
  EXPECT_EQ(reply.m_iReply1, 12345);
  EXPECT_EQ(reply.m_iReply2, 7);  // the command id went first
  EXPECT_EQ(reply.m_iRequest1, -1);
  EXPECT_EQ(reply.m_iRequest5, -5);

  // A new command id is sent from the next request on.
  link.Init(11, 0);
  request.m_iRequest1 = 5;
  request.m_iRequest5 = 1;
  link.SendRequest(request, reply);
  EXPECT_EQ(reply.m_iReply1, 52341);
  EXPECT_EQ(reply.m_iReply2, 11);

  // The command messages, through the buffer request, which adds nothing to the caller's buffer.
  CCmdHookKetraInfo info;
  info.m_iValue1 = 3;
  info.m_iValue2 = 5;
  info.m_iValue3 = 7;
  info.m_strValue = u"from";
  info.m_uValue = 77;
  info.m_vecValues = {u"rcpt2", u"rcpt1"};
  info.m_mapValues = {{u"size", 1024}, {u"Size", 1}};
  CIPCMsgBuffer infoRequest, infoReply;
  infoRequest << kInfoRequest << info;
  size_t sentBytes = infoRequest.GetSize();
  link.SendRequest(infoRequest, infoReply);
  EXPECT_EQ(infoRequest.GetSize(), sentBytes);
  CCmdHookKetraScanResult result;
  result.m_mapValues2[u"kept"] = 5;
  infoReply >> result;
  EXPECT_TRUE(infoReply.AtEnd());
  EXPECT_EQ(result.m_iValue1, 30507);
  EXPECT_EQ(result.m_mapValues1, info.m_mapValues);
  EXPECT_EQ(result.m_mapValues2, (HookValueMap{{u"from", 77}, {u"kept", 5}}));
  EXPECT_EQ(result.m_mapValues3, (HookValueMap{{u"rcpt1", 1}, {u"rcpt2", 0}}));

  StopMaster(link, *master);
}

TEST(RpcLinkE2E, NoServiceAndNoReplyRaiseAndTheNextRequestReconnects) {
  RuntimeDirScope rt;
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  CRpcCommunicationResource link(7, 0);
  link.Connect();
  EXPECT_EQ(RpcFailure(link, 1), CRPCError::NOT_LISTENING);

  auto master = StartMaster();
  CRpcCommunicationResource::CRpcIPCData request, reply;
  link.SendRequest(request, reply);  // reconnects after the failure
  EXPECT_EQ(reply.m_iReply2, 7);

  EXPECT_EQ(RpcFailure(link, kHangRequest), CRPCError::TIMEOUT);
  // The late reply can never be taken for this one: the request goes on a new connection.
  request.m_iRequest5 = 4;
  link.SendRequest(request, reply);
  EXPECT_EQ(reply.m_iReply1, 4);
  StopMaster(link, *master);
}

TEST(RpcLinkE2E, AServiceKilledDuringARequestRaisesPeerClosed) {
  RuntimeDirScope rt;
  // Far beyond the test's own run, so only the kill can end the request.
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "600000");
  auto master = StartMaster();
  CRpcCommunicationResource link(7, 0);
  link.Connect();
  std::thread killer([&] {
    std::string line;
    if (master->ReadLine(line) && line == "hang") master->Kill();
  });
  EXPECT_EQ(RpcFailure(link, kHangRequest), CRPCError::PEER_CLOSED);
  killer.join();
  EXPECT_EQ(master->Wait(), -1);
  // Its socket file (on POSIX) is left behind, but nobody listens there.
  EXPECT_EQ(RpcFailure(link, 1), CRPCError::NOT_LISTENING);
}
