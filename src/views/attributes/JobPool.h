#pragma once

#include <QObject>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class QRunnable;

// The threads that run the jobs of one attribute panel. Unlike a thread
// pool that counts a thread as busy from the moment it asks the system for
// it, this one only counts jobs: a job is queued until a thread of the pool
// takes it, and a wait runs the queued jobs itself, so that no wait
// outlasts the jobs it waits for, even when the system refuses the threads
// (ThreadStarter) or there is no memory to queue a job; a job that finds
// no thread of the pool to take it runs at once on the thread that starts
// it. Threads end after a while without jobs.
class JobPool : public QObject
{
public:
    explicit JobPool(QObject* parent = nullptr);
    // Waits for every job, then ends the threads.
    ~JobPool() override;

    // Runs the job on a thread of the pool (or as said above), deleting it
    // afterwards when it is to be deleted (QRunnable::autoDelete). Throws
    // only what the job throws when it runs here.
    void start(QRunnable* job);
    // Returns once every job started, and every job those started, has
    // ended (within msecs, when not negative: false when jobs are left).
    bool waitForDone(int msecs = -1);
    // Jobs started that have not ended yet.
    int activeThreadCount() const;
    int maxThreadCount() const;
    void setMaxThreadCount(int count);

private:
    void serve();
    // Runs a job, deleting it afterwards when it is to be deleted.
    static void run(QRunnable* job);
    // With the lock held: joins the threads that have left the pool.
    void joinFinished();

    mutable std::mutex mutex;
    std::condition_variable queued;   // a job was queued, or the pool ends
    std::condition_variable ended;    // the last job ended
    std::deque<QRunnable*> jobs;      // started, not taken yet
    int pending = 0;                  // jobs started that have not ended
    int idle = 0;                     // threads waiting for a job
    int maxThreads = 1;
    bool stopping = false;
    // Room for maxThreads each: a thread is added or leaves without
    // allocating.
    std::vector<std::thread> threads;
    std::vector<std::thread> finished;   // left, not joined yet
};
