#include "sdk/modbus/message_queue.hpp"

#include <iterator>

namespace zelkSDK {

void MessageQueue::enqueue(const Transaction& transaction) {
    transactions.push_back(transaction);
    transactions.back().state = TransactionState::queued;
}

void MessageQueue::insert_retry(const Transaction& transaction) {
    const auto position =
        transactions.empty() ? transactions.end() : std::next(transactions.begin());
    const auto inserted = transactions.insert(position, transaction);
    inserted->state = TransactionState::queued;
}

bool MessageQueue::front_is_queued() const {
    return !transactions.empty() && transactions.front().state == TransactionState::queued;
}

bool MessageQueue::front_is_finished() const {
    return !transactions.empty() && transactions.front().state == TransactionState::finished;
}

bool MessageQueue::front_is_sent() const {
    return !transactions.empty() && transactions.front().state == TransactionState::sent;
}

Transaction MessageQueue::dequeue() {
    if (transactions.empty()) {
        return Transaction();
    }
    transactions.front().state = TransactionState::dequeued;
    Transaction front_copy = transactions.front();
    transactions.pop_front();
    return front_copy;
}

}  // namespace zelkSDK
