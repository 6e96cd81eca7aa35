#include "history/database.h"

#include <sqlite3.h>

#include <limits>

namespace px::history {
namespace {

[[noreturn]] void Fail(sqlite3* db, int code) {
  const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  throw DatabaseError(code, message != nullptr ? message : sqlite3_errstr(code));
}

void Check(sqlite3* db, int code) {
  if (code != SQLITE_OK) Fail(db, code);
}

}  // namespace

bool DatabaseError::Damaged() const {
  const int primary = code_ & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    throw DatabaseError(SQLITE_TOOBIG, "statement too long");
  Check(db_, sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &statement_, nullptr));
}

Statement::~Statement() {
  sqlite3_finalize(statement_);
}

Statement& Statement::Bind(int index, int64_t value) {
  Check(db_, sqlite3_bind_int64(statement_, index, value));
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  Check(db_, sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                 SQLITE_UTF8));
  return *this;
}

Statement& Statement::BindNull(int index) {
  Check(db_, sqlite3_bind_null(statement_, index));
  return *this;
}

bool Statement::Step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // The error belongs to this run; the statement may be run again.
  sqlite3_reset(statement_);
  Fail(db_, code);
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::Text(int column) const {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || size <= 0) return {};
  return {bytes, static_cast<std::size_t>(size)};
}

Database::Database(const std::string& path, int flags) {
  const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw DatabaseError(code, message);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  cached_.clear();
  sqlite3_close_v2(db_);
}

void Database::Exec(const std::string& sql) {
  char* message = nullptr;
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (code == SQLITE_OK) return;
  const std::string text = message != nullptr ? message : sqlite3_errstr(code);
  sqlite3_free(message);
  throw DatabaseError(code, text);
}

std::string Database::Value(const std::string& sql) {
  Statement statement(db_, sql);
  return statement.Step() ? statement.Text(0) : std::string();
}

Statement& Database::Cached(std::string_view sql) {
  const std::string key(sql);
  auto found = cached_.find(key);
  if (found == cached_.end())
    found = cached_.emplace(key, std::make_unique<Statement>(db_, sql)).first;
  return *found->second;
}

void Database::SetBusyTimeout(int ms) {
  Check(db_, sqlite3_busy_timeout(db_, ms));
}

Transaction::Transaction(Database& db) : db_(db) {
  db_.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
  if (!open_) return;
  // A failed ROLLBACK (the connection is gone) leaves nothing to undo.
  sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

Snapshot::Snapshot(Database& db) : db_(db) {
  db_.Exec("BEGIN");
}

Snapshot::~Snapshot() {
  sqlite3_exec(db_.handle(), "COMMIT", nullptr, nullptr, nullptr);
}

}  // namespace px::history
