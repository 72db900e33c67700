// PgEnvironment: the throw-away PostgreSQL cluster of a test binary, started
// by the first test that needs it and stopped when the tests end. Call Get()
// at namespace scope so it is registered with gtest before the tests run.
// Test thread only.
#ifndef QNV_TESTS_SUPPORT_PGENVIRONMENT_H
#define QNV_TESTS_SUPPORT_PGENVIRONMENT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/PgCluster.h"

namespace qnvtest {

class PgEnvironment : public ::testing::Environment {
 public:
  static PgEnvironment* Get() {
    static PgEnvironment* const environment = [] {
      auto* e = new PgEnvironment;  // gtest owns it
      ::testing::AddGlobalTestEnvironment(e);
      return e;
    }();
    return environment;
  }
  void TearDown() override { cluster_.reset(); }
  // Null with the reason when it cannot start; tests skip when the server is
  // not installed (PgCluster::BinDir() empty) and fail otherwise.
  PgCluster* Cluster(std::string& why) {
    if (!tried_) {
      tried_ = true;
      if (PgCluster::BinDir().empty()) {
        why_ = "PostgreSQL's server is not installed here (apt-get install postgresql)";
      } else {
        cluster_ = std::make_unique<PgCluster>();
        if (!cluster_->Start(why_)) cluster_.reset();
      }
    }
    why = why_;
    return cluster_.get();
  }

 private:
  bool tried_ = false;
  std::string why_;
  std::unique_ptr<PgCluster> cluster_;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_SUPPORT_PGENVIRONMENT_H
