// ISqlConnection: the little the catalogue needs of a SQL database, so that
// one implementation of the catalogue (CSqlCatalogue) serves both backends:
// statements written once in PostgreSQL's notation ($1, $2, ...), prepared
// once per connection and kept, run with bound values, rows handed to a
// callback; transactions. CSqliteConnection and CPostgresConnection are the
// two. One thread at a time; the object owns its connection.
#ifndef QNVCATALOGUE_SQLCONNECTION_H
#define QNVCATALOGUE_SQLCONNECTION_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qnvcatalogue/ICatalogue.h"

namespace qnvcat {

struct SValue {
  enum class EType { kNull, kInt, kText };
  EType type = EType::kNull;
  int64_t integer = 0;
  std::string_view text;  // must outlive the Exec call

  static SValue Int(int64_t v) { return SValue{EType::kInt, v, {}}; }
  static SValue Text(std::string_view v) { return SValue{EType::kText, 0, v}; }
};

// One result row, valid during the callback.
class IRow {
 public:
  virtual ~IRow() = default;
  virtual bool IsNull(int column) const = 0;
  virtual int64_t Int(int column) const = 0;  // 0 for NULL
  virtual std::string Text(int column) const = 0;
};

// The dialect's spelling of what differs between the two.
struct SDialect {
  const char* autoId;       // an auto-numbered 64-bit primary key column type
  const char* greatest;     // the two-argument maximum function
  const char* tableExists;  // one row when table $1 exists
};

class ISqlConnection {
 public:
  using RowFn = std::function<void(const IRow&)>;

  virtual ~ISqlConnection() = default;
  virtual const char* Backend() const = 0;
  virtual const SDialect& Dialect() const = 0;
  // Runs statement `slot` (prepared from `sql` the first time this slot is
  // used). False with a message.
  virtual bool Exec(int slot, const std::string& sql, const std::vector<SValue>& values,
                    const RowFn& row, std::string& error) = 0;
  // Runs one or more statements without values or rows (schema, pragmas).
  virtual bool Script(const std::string& sql, std::string& error) = 0;
  // Write transactions take the database's write lock at once, so two
  // writers never deadlock half-way.
  virtual bool Begin(bool write, std::string& error) = 0;
  virtual bool Commit(std::string& error) = 0;
  virtual void Rollback() = 0;
  // What the last failure means for the writer.
  virtual EFailure LastFailure() const = 0;
  // Serialises schema upgrades among writers (inside a write transaction).
  virtual bool LockSchema(std::string& error) = 0;
};

std::unique_ptr<ISqlConnection> OpenSqlite(const std::string& file, const STarget& target,
                                           EOpenMode mode, std::string& error);
std::unique_ptr<ISqlConnection> OpenPostgres(const STarget& target, std::string& error);

// The catalogue over either connection; migrates the schema in kWrite mode.
std::unique_ptr<ICatalogue> MakeSqlCatalogue(std::unique_ptr<ISqlConnection> connection,
                                             std::string where, EOpenMode mode, std::string& error);

}  // namespace qnvcat

#endif  // QNVCATALOGUE_SQLCONNECTION_H
