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
  void TearDown() override { m_cluster.reset(); }
  // Null with the reason when it cannot start; tests skip when the server is
  // not installed (PgCluster::BinDir() empty) and fail otherwise.
  PgCluster* Cluster(std::string& why) {
    if (!m_tried) {
      m_tried = true;
      if (PgCluster::BinDir().empty()) {
        m_why = "PostgreSQL's server is not installed here (apt-get install postgresql)";
      } else {
        m_cluster = std::make_unique<PgCluster>();
        if (!m_cluster->Start(m_why)) m_cluster.reset();
      }
    }
    why = m_why;
    return m_cluster.get();
  }

 private:
  bool m_tried = false;
  std::string m_why;
  std::unique_ptr<PgCluster> m_cluster;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_SUPPORT_PGENVIRONMENT_H
