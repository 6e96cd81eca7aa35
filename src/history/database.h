#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// A thin layer over SQLite for the history: a failed call throws
// DatabaseError with SQLite's code, which the store's public calls catch, so
// that no database trouble ever reaches the poll.

namespace px::history {

class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }
  // The file is no database, or a damaged one: it has to be set aside.
  bool Damaged() const;

 private:
  int code_;
};

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters count from 1, as SQLite's do. Texts are bound as the bytes
  // they are: device texts need not be UTF-8.
  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindNull(int index);

  // Runs to the next row: true when there is one.
  bool Step();
  // Runs a statement that returns no rows, and makes it ready again.
  void Run();
  void Reset();

  // Columns count from 0.
  bool IsNull(int column) const;
  int64_t Int(int column) const;
  std::string Text(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

class Database {
 public:
  // flags: SQLite's open flags. Throws DatabaseError when it cannot be opened.
  Database(const std::string& path, int flags);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Exec(const std::string& sql);
  // The first column of the first row, as text ("" when there is none).
  std::string Value(const std::string& sql);
  // A statement prepared once per connection and kept for the next call.
  Statement& Cached(std::string_view sql);

  // Milliseconds a statement waits for a lock another connection holds.
  void SetBusyTimeout(int ms);
  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Statement>> cached_;
};

// BEGIN IMMEDIATE on construction, ROLLBACK on destruction unless Commit()
// ran: a transaction that throws half-way leaves nothing behind.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Database& db_;
  bool open_ = true;
};

// A read transaction: every query inside it sees the same state of the file,
// however the writer moves on meanwhile.
class Snapshot {
 public:
  explicit Snapshot(Database& db);
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

 private:
  Database& db_;
};

}  // namespace px::history
