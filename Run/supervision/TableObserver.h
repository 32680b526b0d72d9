// The program table tells whoever watches it (the status) that something in
// it changed, without knowing who that is.
#pragma once

class TableObserver {
 public:
  virtual ~TableObserver() = default;
  // An entry changed, or the table was replaced. Called from any thread, with
  // or without the table held: it must be cheap and take no table lock.
  virtual void TableChanged() = 0;
};

// Installs the observer (null: none). Call before any other thread runs.
void SetTableObserver(TableObserver* observer);
