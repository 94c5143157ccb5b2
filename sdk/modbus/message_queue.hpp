// The client's queue of exchanges, oldest first. Only the front ever advances past `queued`.
#pragma once

#include <cstddef>
#include <list>

#include "sdk/modbus/transaction.hpp"

namespace zelkSDK {

class MessageQueue {
  public:
    void enqueue(const Transaction& transaction);
    // A resend goes right behind the failed front, ahead of everything queued after it.
    void insert_retry(const Transaction& transaction);
    size_t size() const { return transactions.size(); }
    Transaction& front() { return transactions.front(); }
    bool front_is_queued() const;
    bool front_is_finished() const;
    bool front_is_sent() const;
    void mark_front_sent() { transactions.front().state = TransactionState::sent; }
    void mark_front_finished() { transactions.front().state = TransactionState::finished; }
    // Returns the removed front, or a default Transaction when the queue is empty.
    Transaction dequeue();
    void clear() { transactions.clear(); }

  private:
    std::list<Transaction> transactions;
};

}  // namespace zelkSDK
