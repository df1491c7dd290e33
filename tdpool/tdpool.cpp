#include "tdpool/tdpool.h"

#include <pthread.h>

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Reports name the source file without its directory.
#ifdef __FILE_NAME__
#define TDPOOL_SOURCE __FILE_NAME__
#else
#define TDPOOL_SOURCE "tdpool.cpp"
#endif

namespace {

constexpr unsigned long NO_MEMORY = 0x001;
constexpr unsigned long MUTEX_INIT_FAILED = 0x002;
constexpr unsigned long LOCK_FAILED = 0x004;
constexpr unsigned long UNLOCK_FAILED = 0x008;
constexpr unsigned long COND_INIT_FAILED = 0x010;
constexpr unsigned long WAIT_FAILED = 0x020;
constexpr unsigned long WAKE_FAILED = 0x040;
constexpr unsigned long BROADCAST_FAILED = 0x080;
constexpr unsigned long CREATE_FAILED = 0x100;
constexpr unsigned long JOIN_FAILED = 0x200;
constexpr unsigned long QUEUE_FULL = 0x400;
constexpr unsigned long CLOSING = 0x800;

}  // namespace

// Each report is two writes to the unbuffered standard error: where, then what.
#define TDPOOL_REPORT(...)                                                          \
    do {                                                                            \
        std::fprintf(stderr, "%s:%s:%d : ", TDPOOL_SOURCE, __func__, __LINE__);     \
        std::fprintf(stderr, __VA_ARGS__);                                          \
    } while (0)

#define TDPOOL_UNLOCK(pool, bits)                                                   \
    do {                                                                            \
        int unlock_error_ = pthread_mutex_unlock(&(pool)->lock);                    \
        if (unlock_error_ != 0) {                                                   \
            TDPOOL_REPORT("pthread_mutex_unlock %d\n", unlock_error_);             \
            (bits) |= UNLOCK_FAILED;                                                \
        }                                                                           \
    } while (0)

struct tdpool_item {
    void* data;
    int size;  // -1: cancelled
    tdpool_item* next;
};

struct tdpool {
    int num_worker_threads;
    int max_queue_size;
    int do_not_block_when_full;
    pthread_t* thread_ids;
    int count;
    tdpool_item* head;
    tdpool_item* tail;
    int closed;
    int shutdown;
    pthread_mutex_t lock;
    pthread_cond_t not_empty;
    pthread_cond_t not_full;
    pthread_cond_t empty;
    int (*routine)(void* data, int size);
};

namespace {

void* tdpool_thread(void* arg) {
    assert(arg != nullptr);
    tdpool* pool = static_cast<tdpool*>(arg);
    unsigned long ignored = 0;
    for (;;) {
        int error = pthread_mutex_lock(&pool->lock);
        if (error != 0) {
            // Touching the queue without the lock would race with everyone else.
            TDPOOL_REPORT("pthread_mutex_lock %d\n", error);
            continue;
        }
        while (pool->count == 0 && pool->shutdown == 0) {
            error = pthread_cond_wait(&pool->not_empty, &pool->lock);
            if (error != 0) TDPOOL_REPORT("pthread_cond_wait %d\n", error);
        }
        if (pool->shutdown != 0) {
            TDPOOL_UNLOCK(pool, ignored);
            return nullptr;
        }

        tdpool_item* item = pool->head;
        pool->count -= 1;
        if (pool->count == 0) {
            pool->head = nullptr;
            pool->tail = nullptr;
        } else {
            pool->head = item->next;
        }
        if (pool->do_not_block_when_full == 0 && pool->count == pool->max_queue_size - 1) {
            error = pthread_cond_broadcast(&pool->not_full);
            if (error != 0) TDPOOL_REPORT("pthread_cond_broadcast %d\n", error);
        }
        if (pool->count == 0) {
            error = pthread_cond_signal(&pool->empty);
            if (error != 0) TDPOOL_REPORT("pthread_cond_signal %d\n", error);
        }
        TDPOOL_UNLOCK(pool, ignored);

        if (item->size >= 0) pool->routine(item->data, item->size);
        std::free(item->data);
        std::free(item);
    }
}

void destroy_sync(tdpool* pool, int conditions) {
    pthread_cond_t* const all[] = {&pool->not_empty, &pool->not_full, &pool->empty};
    for (int i = 0; i < conditions; ++i) pthread_cond_destroy(all[i]);
    pthread_mutex_destroy(&pool->lock);
}

}  // namespace

unsigned long tdpool_init(tdpool** tpoolp, int (*routine)(void* data, int size), int num_worker_threads,
                          int max_queue_size, int do_not_block_when_full) {
    assert(tpoolp != nullptr);
    assert(routine != nullptr);
    assert(num_worker_threads > 0);
    assert(max_queue_size > 0);
    assert((do_not_block_when_full == 0) || (do_not_block_when_full == 1));

    tdpool* pool = static_cast<tdpool*>(std::malloc(sizeof(tdpool)));
    if (pool == nullptr) {
        TDPOOL_REPORT("malloc\n");
        return NO_MEMORY;
    }
    pool->max_queue_size = max_queue_size;
    pool->do_not_block_when_full = do_not_block_when_full;
    pool->routine = routine;
    pool->num_worker_threads = num_worker_threads;

    pool->thread_ids =
        static_cast<pthread_t*>(std::malloc(sizeof(pthread_t) * static_cast<std::size_t>(num_worker_threads)));
    if (pool->thread_ids == nullptr) {
        TDPOOL_REPORT("malloc\n");
        std::free(pool);
        return NO_MEMORY;
    }
    pool->count = 0;
    pool->head = nullptr;
    pool->tail = nullptr;
    pool->closed = 0;
    pool->shutdown = 0;

    int error = pthread_mutex_init(&pool->lock, nullptr);
    if (error != 0) {
        TDPOOL_REPORT("pthread_mutex_init %d\n", error);
        std::free(pool->thread_ids);
        std::free(pool);
        return MUTEX_INIT_FAILED;
    }
    pthread_cond_t* const conditions[] = {&pool->not_empty, &pool->not_full, &pool->empty};
    for (int i = 0; i < 3; ++i) {
        error = pthread_cond_init(conditions[i], nullptr);
        if (error != 0) {
            TDPOOL_REPORT("pthread_cond_init %d\n", error);
            destroy_sync(pool, i);
            std::free(pool->thread_ids);
            std::free(pool);
            return COND_INIT_FAILED;
        }
    }

    for (int i = 0; i < num_worker_threads; ++i) {
        error = pthread_create(&pool->thread_ids[i], nullptr, tdpool_thread, pool);
        if (error == 0) continue;

        // Workers 0 .. i-1 run already: stop them before anything is released.
        unsigned long result = CREATE_FAILED;
        pthread_mutex_lock(&pool->lock);
        pool->shutdown = 1;
        pthread_mutex_unlock(&pool->lock);
        int broadcast_error = pthread_cond_broadcast(&pool->not_empty);
        if (broadcast_error != 0) {
            TDPOOL_REPORT("pthread_cond_broadcast %d\n", broadcast_error);
            result |= BROADCAST_FAILED;
        }
        TDPOOL_REPORT("pthread_create %d\n", error);
        for (int j = 0; j < i; ++j) pthread_join(pool->thread_ids[j], nullptr);
        destroy_sync(pool, 3);
        std::free(pool->thread_ids);
        std::free(pool);
        return result;
    }

    *tpoolp = pool;
    return 0;
}

unsigned long tdpool_add_data(tdpool* tpool, const void* args, int size) {
    assert(tpool != nullptr);
    assert(args != nullptr);
    assert(size >= 0);

    unsigned long result = 0;
    int error = pthread_mutex_lock(&tpool->lock);
    if (error != 0) {
        TDPOOL_REPORT("pthread_mutex_lock %d\n", error);
        return result | LOCK_FAILED;
    }

    if (tpool->count == tpool->max_queue_size) {
        if (tpool->do_not_block_when_full == 1) {
            TDPOOL_UNLOCK(tpool, result);
            return result | QUEUE_FULL;
        }
        while (tpool->count == tpool->max_queue_size && tpool->shutdown == 0 && tpool->closed == 0) {
            error = pthread_cond_wait(&tpool->not_full, &tpool->lock);
            if (error != 0) {
                TDPOOL_REPORT("pthread_cond_wait %d\n", error);
                result |= WAIT_FAILED;
            }
        }
    }
    if (tpool->shutdown != 0 || tpool->closed != 0) {
        TDPOOL_UNLOCK(tpool, result);
        return result | CLOSING;
    }

    tdpool_item* item = static_cast<tdpool_item*>(std::malloc(sizeof(tdpool_item)));
    if (item == nullptr) {
        TDPOOL_REPORT("malloc\n");
        TDPOOL_UNLOCK(tpool, result);
        return result | NO_MEMORY;
    }
    item->data = nullptr;
    if (size > 0) {
        item->data = std::malloc(static_cast<std::size_t>(size));
        if (item->data == nullptr) {
            std::free(item);
            TDPOOL_REPORT("mlloc\n");
            TDPOOL_UNLOCK(tpool, result);
            return result | NO_MEMORY;
        }
        std::memcpy(item->data, args, static_cast<std::size_t>(size));
    }
    item->size = size;
    item->next = nullptr;

    if (tpool->count == 0) {
        tpool->head = item;
        tpool->tail = item;
        error = pthread_cond_broadcast(&tpool->not_empty);
        if (error != 0) {
            TDPOOL_REPORT("pthread_cond_signal %d\n", error);
            result |= WAKE_FAILED;
        }
    } else {
        tpool->tail->next = item;
        tpool->tail = item;
    }
    tpool->count += 1;

    TDPOOL_UNLOCK(tpool, result);
    return result;
}

unsigned long tdpool_remove_data(tdpool* tpool, int (*comp)(void* data, int size)) {
    assert(tpool != nullptr);
    assert(comp != nullptr);

    unsigned long result = 0;
    int error = pthread_mutex_lock(&tpool->lock);
    if (error != 0) {
        TDPOOL_REPORT("pthread_mutex_lock %d\n", error);
        return result | LOCK_FAILED;
    }
    if (tpool->count > 0 && tpool->shutdown == 0 && tpool->closed == 0) {
        for (tdpool_item* item = tpool->head; item != nullptr; item = item->next)
            if (comp(item->data, item->size) == 1) item->size = -1;
    }
    TDPOOL_UNLOCK(tpool, result);
    return result;
}

unsigned long tdpool_remove_all(tdpool* tpool) {
    assert(tpool != nullptr);

    unsigned long result = 0;
    int error = pthread_mutex_lock(&tpool->lock);
    if (error != 0) {
        TDPOOL_REPORT("pthread_mutex_lock %d\n", error);
        return result | LOCK_FAILED;
    }
    if (tpool->count > 0 && tpool->shutdown == 0 && tpool->closed == 0) {
        for (tdpool_item* item = tpool->head; item != nullptr; item = item->next) item->size = -1;
    }
    TDPOOL_UNLOCK(tpool, result);
    return result;
}

unsigned long tdpool_destroy(tdpool* tpool, int finish) {
    assert(tpool != nullptr);
    assert(finish == 0 || finish == 1);

    unsigned long result = 0;
    int error = pthread_mutex_lock(&tpool->lock);
    if (error != 0) {
        TDPOOL_REPORT("pthread_mutex_lock %d\n", error);
        return result | LOCK_FAILED;
    }
    if (tpool->closed != 0 || tpool->shutdown != 0) {
        TDPOOL_UNLOCK(tpool, result);
        return result;
    }
    tpool->closed = 1;
    if (finish == 1) {
        while (tpool->count != 0) {
            error = pthread_cond_wait(&tpool->empty, &tpool->lock);
            if (error != 0) {
                TDPOOL_REPORT("pthread_cond_wait %d\n", error);
                result |= WAIT_FAILED;
            }
        }
    }
    tpool->shutdown = 1;
    TDPOOL_UNLOCK(tpool, result);

    error = pthread_cond_broadcast(&tpool->not_empty);
    if (error != 0) {
        TDPOOL_REPORT("pthread_cond_broadcast %d\n", error);
        result |= BROADCAST_FAILED;
    }
    error = pthread_cond_broadcast(&tpool->not_full);
    if (error != 0) {
        TDPOOL_REPORT("pthread_cond_broadcast %d\n", error);
        result |= BROADCAST_FAILED;
    }

    for (int i = 0; i < tpool->num_worker_threads; ++i) {
        error = pthread_join(tpool->thread_ids[i], nullptr);
        if (error != 0) {
            TDPOOL_REPORT("pthread_join %d\n", error);
            result |= JOIN_FAILED;
        }
    }

    std::free(tpool->thread_ids);
    tdpool_item* item = tpool->head;
    while (item != nullptr) {
        tdpool_item* next = item->next;
        std::free(item->data);
        std::free(item);
        item = next;
    }
    destroy_sync(tpool, 3);
    std::free(tpool);
    return result;
}
