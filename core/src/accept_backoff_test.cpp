#include "tavi/accept_backoff.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavi {
namespace {

using std::chrono::milliseconds;

TEST(AcceptBackoff, OnlyAShortageOfDescriptorsOrMemoryPauses) {
  for (const int code : {EMFILE, ENFILE, ENOBUFS, ENOMEM}) {
    AcceptBackoff backoff;
    EXPECT_EQ(backoff.pause_after(OsError{code}), milliseconds(5)) << code;
  }
  for (const int code : {ECONNABORTED, EINTR, EPROTO, EPERM, EBADF, EINVAL, EAGAIN}) {
    AcceptBackoff backoff;
    EXPECT_EQ(backoff.pause_after(OsError{code}), milliseconds(0)) << code;
  }
}

TEST(AcceptBackoff, DoublesUpToOneSecondUntilAConnectionIsAccepted) {
  AcceptBackoff backoff;
  std::vector<milliseconds> pauses;
  for (int i = 0; i < 10; ++i) pauses.push_back(backoff.pause_after(OsError{EMFILE}));
  EXPECT_EQ(pauses, (std::vector<milliseconds>{
                        milliseconds(5), milliseconds(10), milliseconds(20), milliseconds(40),
                        milliseconds(80), milliseconds(160), milliseconds(320), milliseconds(640),
                        milliseconds(1000), milliseconds(1000)}));

  // Another failure neither pauses nor starts the pause afresh.
  EXPECT_EQ(backoff.pause_after(OsError{ECONNABORTED}), milliseconds(0));
  EXPECT_EQ(backoff.pause_after(OsError{ENFILE}), milliseconds(1000));

  backoff.connection_accepted();
  EXPECT_EQ(backoff.pause_after(OsError{ENOBUFS}), milliseconds(5));
  EXPECT_EQ(backoff.pause_after(OsError{ENOMEM}), milliseconds(10));
}

}  // namespace
}  // namespace tavi
