// Data pool: a bounded queue of copied data items served by worker threads.
#pragma once

struct tdpool;

unsigned long tdpool_init(tdpool** tpoolp, int (*routine)(void* data, int size), int num_worker_threads,
                          int max_queue_size, int do_not_block_when_full);
unsigned long tdpool_add_data(tdpool* tpool, const void* args, int size);
unsigned long tdpool_remove_data(tdpool* tpool, int (*comp)(void* data, int size));
unsigned long tdpool_remove_all(tdpool* tpool);
unsigned long tdpool_destroy(tdpool* tpool, int finish);
