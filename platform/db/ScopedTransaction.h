#pragma once

// One transaction for a block: begun on construction, rolled back on leaving
// the block unless commit() succeeded, so an exception anywhere in between
// leaves nothing half written. Works with anything that has begin(),
// commit() and rollback(); a failed rollback on the way out is dropped, as
// the error that caused it is the one worth reporting.
template <class Store> class ScopedTransaction {
public:
    explicit ScopedTransaction(Store& store)
        : m_store(store)
    {
        m_store.begin();
    }
    ~ScopedTransaction()
    {
        if (m_open) {
            try {
                m_store.rollback();
            } catch (...) {
            }
        }
    }
    void commit()
    {
        m_store.commit();
        m_open = false;
    }
    ScopedTransaction(const ScopedTransaction&) = delete;
    ScopedTransaction& operator=(const ScopedTransaction&) = delete;

private:
    Store& m_store;
    bool m_open = true;
};
