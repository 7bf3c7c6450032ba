// Router threads: run lists of tasks, timer heaps, epoll; the Master that
// owns them, starts and stops routers on them, and hot-swaps routers.
#include <host/element.hh>
#include <host/errorhandler.hh>
#include <host/router.hh>
#include <host/routerthread.hh>
#include <host/task.hh>
#include <host/timer.hh>

#include <malloc.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "internal.hh"

using namespace quilo_host;

namespace {
std::atomic<Master*> current_master{nullptr};
// The RouterThread running on this OS thread (several Masters may share a
// process, so thread ids alone do not identify it).
thread_local RouterThread* tl_current = nullptr;
constexpr uint64_t wake_tag = ~uint64_t(0);
}  // namespace

// ---- RouterThread ----

RouterThread* RouterThread::current() { return tl_current; }

RouterThread::RouterThread(Master* m, int id) : _master(m), _id(id) {
    _epfd = epoll_create1(EPOLL_CLOEXEC);
    _wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = wake_tag;
    epoll_ctl(_epfd, EPOLL_CTL_ADD, _wakefd, &ev);
}

RouterThread::~RouterThread() {
    for (auto& kv : _selects)
        delete kv.second;
    if (_epfd >= 0)
        close(_epfd);
    if (_wakefd >= 0)
        close(_wakefd);
}

void RouterThread::wake() {
    if (_sleeping.exchange(false)) {
        uint64_t one = 1;
        ssize_t r = write(_wakefd, &one, sizeof(one));
        (void) r;
    }
}

// Stride scheduling: a task's pass grows by STRIDE1 / tickets each time it
// runs, and the task with the smallest pass runs next.  Passes wrap; the
// passes in a queue lie between the thread's pass and one stride (at most
// STRIDE1) beyond it, so comparing them by their difference is exact.
namespace {
constexpr uint32_t STRIDE1 = 1u << 16;
bool pass_before(uint32_t a, uint32_t b) { return int32_t(a - b) < 0; }
}  // namespace

void RouterThread::runq_up(int i) {
    Task* t = _runq[i];
    while (i > 0) {
        int p = (i - 1) / 2;
        if (!pass_before(t->_pass, _runq[p]->_pass))
            break;
        _runq[i] = _runq[p];
        _runq[i]->_rq_index = i;
        i = p;
    }
    _runq[i] = t;
    t->_rq_index = i;
}

void RouterThread::runq_down(int i) {
    int n = int(_runq.size());
    Task* t = _runq[i];
    while (true) {
        int c = 2 * i + 1;
        if (c >= n)
            break;
        if (c + 1 < n && pass_before(_runq[c + 1]->_pass, _runq[c]->_pass))
            ++c;
        if (!pass_before(_runq[c]->_pass, t->_pass))
            break;
        _runq[i] = _runq[c];
        _runq[i]->_rq_index = i;
        i = c;
    }
    _runq[i] = t;
    t->_rq_index = i;
}

void RouterThread::add_to_list(Task* t) {
    // A task that slept starts level with the others, not with credit for
    // the turns it missed; one that just ran keeps its place, at most one
    // stride ahead.  A pass left from long ago may have wrapped either way.
    uint32_t stride = STRIDE1 / uint32_t(t->_tickets.load(std::memory_order_relaxed));
    if (pass_before(t->_pass, _pass) || pass_before(_pass + stride, t->_pass))
        t->_pass = _pass;
    _runq.push_back(t);
    runq_up(int(_runq.size()) - 1);
    _ntasks.fetch_add(1, std::memory_order_relaxed);
}

void RouterThread::remove_from_list(Task* t) {
    int i = t->_rq_index;
    Task* last = _runq.back();
    _runq.pop_back();
    t->_rq_index = -1;
    if (last != t) {
        _runq[i] = last;
        last->_rq_index = i;
        runq_up(i);
        runq_down(last->_rq_index);
    }
    _ntasks.fetch_sub(1, std::memory_order_relaxed);
}

void RouterThread::add_pending(Task* t) {
    if (t->_pending.exchange(true))
        return;
    {
        std::lock_guard<std::mutex> g(_pending_lock);
        t->_pending_next = _pending_head.load(std::memory_order_relaxed);
        _pending_head.store(t, std::memory_order_release);
    }
    if (tl_current == this)
        return;
    wake();
}

void RouterThread::run_pending() {
    Task* list;
    {
        std::lock_guard<std::mutex> g(_pending_lock);
        list = _pending_head.exchange(nullptr);
    }
    while (list) {
        Task* t = list;
        list = t->_pending_next;
        t->_pending_next = nullptr;
        t->_pending.store(false);
        if (t->_thread_id != _id) {
            _master->thread(t->_thread_id)->add_pending(t);
            continue;
        }
        int home = t->_home_thread.load();
        if (home != _id) {
            if (t->_rq_index >= 0)
                remove_from_list(t);
            t->_thread_id = home;
            _master->thread(home)->add_pending(t);
            continue;
        }
        bool want = t->_should_run.load();
        if (want && t->_rq_index < 0)
            add_to_list(t);
        else if (!want && t->_rq_index >= 0)
            remove_from_list(t);
    }
}

void RouterThread::run_tasks(int max) {
    while (max-- > 0 && !_runq.empty()) {
        Task* t = _runq[0];
        remove_from_list(t);
        if (!t->_should_run.load(std::memory_order_relaxed) || t->_home_thread.load(std::memory_order_relaxed) != _id) {
            // Unscheduled or moved meanwhile: let the pending logic sort it out.
            if (t->_should_run.load())
                add_pending(t);
            continue;
        }
        t->_should_run.store(false, std::memory_order_relaxed);
        _pass = t->_pass;
        t->_pass += STRIDE1 / uint32_t(t->_tickets.load(std::memory_order_relaxed));
        t->fire();
    }
}

void RouterThread::heap_up(int i) {
    Timer* t = _heap[i];
    while (i > 0) {
        int p = (i - 1) / 2;
        if (!(t->_expiry < _heap[p]->_expiry))
            break;
        _heap[i] = _heap[p];
        _heap[i]->_heap_index = i;
        i = p;
    }
    _heap[i] = t;
    t->_heap_index = i;
}

void RouterThread::heap_down(int i) {
    int n = int(_heap.size());
    Timer* t = _heap[i];
    while (true) {
        int c = 2 * i + 1;
        if (c >= n)
            break;
        if (c + 1 < n && _heap[c + 1]->_expiry < _heap[c]->_expiry)
            ++c;
        if (!(_heap[c]->_expiry < t->_expiry))
            break;
        _heap[i] = _heap[c];
        _heap[i]->_heap_index = i;
        i = c;
    }
    _heap[i] = t;
    t->_heap_index = i;
}

// Callers hold _timer_lock.
void RouterThread::timer_insert(Timer* t) {
    if (t->_heap_index >= 0) {
        heap_up(t->_heap_index);
        heap_down(t->_heap_index);
    } else {
        _heap.push_back(t);
        t->_heap_index = int(_heap.size()) - 1;
        heap_up(t->_heap_index);
    }
    _first_expiry.store(_heap[0]->_expiry.nsecval(), std::memory_order_relaxed);
}

void RouterThread::timer_remove(Timer* t) {
    int i = t->_heap_index;
    if (i < 0)
        return;
    Timer* last = _heap.back();
    _heap.pop_back();
    t->_heap_index = -1;
    if (last != t) {
        _heap[i] = last;
        last->_heap_index = i;
        heap_up(i);
        heap_down(last->_heap_index);
    }
    _first_expiry.store(_heap.empty() ? INT64_MAX : _heap[0]->_expiry.nsecval(), std::memory_order_relaxed);
}

void RouterThread::run_timers() {
    if (_first_expiry.load(std::memory_order_relaxed) == INT64_MAX)
        return;
    Timestamp now = Timestamp::now_steady();
    for (int budget = 256; budget > 0; --budget) {
        Timer* t;
        {
            std::lock_guard<std::mutex> g(_timer_lock);
            if (_heap.empty() || now < _heap[0]->_expiry)
                return;
            t = _heap[0];
            timer_remove(t);
            t->_scheduled.store(false);
        }
        t->fire();
    }
}

int RouterThread::add_select(int fd, int mask, Element* owner, SelectCallback cb) {
    if (fd < 0)
        return -EINVAL;
    std::lock_guard<std::mutex> g(_select_lock);
    Selection*& s = _selects[fd];
    bool fresh = !s;
    if (fresh) {
        s = new Selection;
        s->fd = fd;
        s->mask = 0;
    }
    if (mask & Element::SELECT_READ) {
        s->read_owner = owner;
        s->read_cb = cb;
    }
    if (mask & Element::SELECT_WRITE) {
        s->write_owner = owner;
        s->write_cb = cb;
    }
    s->mask |= mask;
    struct epoll_event ev = {};
    ev.events = ((s->mask & Element::SELECT_READ) ? uint32_t(EPOLLIN) : 0u) | ((s->mask & Element::SELECT_WRITE) ? uint32_t(EPOLLOUT) : 0u);
    ev.data.u64 = uint64_t(fd);
    int r = epoll_ctl(_epfd, fresh ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev);
    if (r < 0) {
        int err = errno;
        if (fresh) {
            delete s;
            _selects.erase(fd);
        }
        return -err;
    }
    wake();
    return 0;
}

int RouterThread::remove_select(int fd, int mask, Element* owner) {
    std::lock_guard<std::mutex> g(_select_lock);
    auto it = _selects.find(fd);
    if (it == _selects.end())
        return -ENOENT;
    Selection* s = it->second;
    if ((mask & Element::SELECT_READ) && s->read_owner == owner) {
        s->mask &= ~Element::SELECT_READ;
        s->read_owner = nullptr;
        s->read_cb = nullptr;
    }
    if ((mask & Element::SELECT_WRITE) && s->write_owner == owner) {
        s->mask &= ~Element::SELECT_WRITE;
        s->write_owner = nullptr;
        s->write_cb = nullptr;
    }
    if (!s->mask) {
        epoll_ctl(_epfd, EPOLL_CTL_DEL, fd, nullptr);
        delete s;
        _selects.erase(it);
    } else {
        struct epoll_event ev = {};
        ev.events = ((s->mask & Element::SELECT_READ) ? uint32_t(EPOLLIN) : 0u) | ((s->mask & Element::SELECT_WRITE) ? uint32_t(EPOLLOUT) : 0u);
        ev.data.u64 = uint64_t(fd);
        epoll_ctl(_epfd, EPOLL_CTL_MOD, fd, &ev);
    }
    return 0;
}

void RouterThread::remove_router_selects(Router* r) {
    std::vector<std::pair<int, std::pair<Element*, int>>> drop;
    {
        std::lock_guard<std::mutex> g(_select_lock);
        for (auto& kv : _selects) {
            Selection* s = kv.second;
            if (s->read_owner && s->read_owner->router() == r)
                drop.push_back({kv.first, {s->read_owner, Element::SELECT_READ}});
            if (s->write_owner && s->write_owner->router() == r)
                drop.push_back({kv.first, {s->write_owner, Element::SELECT_WRITE}});
        }
    }
    for (auto& d : drop)
        remove_select(d.first, d.second.second, d.second.first);
}

void RouterThread::wait(bool block) {
    int timeout = 0;
    if (block) {
        _sleeping.store(true);
        // Re-check after announcing sleep: a waker that saw _sleeping false
        // has already made its work visible.
        bool work;
        {
            std::lock_guard<std::mutex> g(_pending_lock);
            work = _pending_head.load() != nullptr;
        }
        if (work || !_runq.empty() || _master->stopping() || _master->_pause.load() || (_id == 0 && _master->_has_calls.load()))
            timeout = 0;
        else {
            int64_t first = _first_expiry.load();
            if (first == INT64_MAX)
                timeout = 1000;
            else {
                int64_t delta = first - Timestamp::now_steady().nsecval();
                timeout = delta <= 0 ? 0 : int(std::min<int64_t>((delta + 999999) / 1000000, 1000));
            }
        }
    }
    struct epoll_event evs[32];
    int n = epoll_wait(_epfd, evs, 32, timeout);
    _sleeping.store(false);
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.u64 == wake_tag) {
            uint64_t v;
            ssize_t r = read(_wakefd, &v, sizeof(v));
            (void) r;
            continue;
        }
        int fd = int(evs[i].data.u64);
        uint32_t ev = evs[i].events;
        for (int which = 0; which < 2; ++which) {
            bool rd = which == 0;
            if (rd && !(ev & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                continue;
            if (!rd && !(ev & (EPOLLOUT | EPOLLHUP | EPOLLERR)))
                continue;
            Element* owner = nullptr;
            SelectCallback cb;
            {
                std::lock_guard<std::mutex> g(_select_lock);
                auto it = _selects.find(fd);
                if (it == _selects.end())
                    break;
                Selection* s = it->second;
                if (!(s->mask & (rd ? Element::SELECT_READ : Element::SELECT_WRITE)))
                    continue;
                owner = rd ? s->read_owner : s->write_owner;
                if (!owner)
                    cb = rd ? s->read_cb : s->write_cb;
            }
            if (owner)
                owner->selected(fd, rd ? Element::SELECT_READ : Element::SELECT_WRITE);
            else if (cb)
                cb(fd, rd ? Element::SELECT_READ : Element::SELECT_WRITE);
        }
    }
}

void RouterThread::driver() {
    int saved = quilo_host::current_thread_id;
    RouterThread* saved_thread = tl_current;
    quilo_host::current_thread_id = _id;
    tl_current = this;
    unsigned iter = 0;
    while (!_master->stopping()) {
        if (_master->_pause.load(std::memory_order_relaxed) && _id != 0) {
            std::unique_lock<std::mutex> lk(_master->_pause_lock);
            ++_master->_paused;
            _master->_pause_cv.notify_all();
            _master->_pause_cv.wait(lk, [&] { return !_master->_pause.load() || _master->stopping(); });
            --_master->_paused;
            continue;
        }
        if (_id == 0 && _master->_has_calls.load(std::memory_order_relaxed))
            _master->run_calls();
        if (_id == 0 && !_master->_garbage.empty())
            _master->collect_garbage();
        if (_pending_head.load(std::memory_order_relaxed))
            run_pending();
        run_tasks(128);
        run_timers();
        if (_runq.empty())
            wait(true);
        else if ((++iter & 63) == 0)
            wait(false);
    }
    quilo_host::current_thread_id = saved;
    tl_current = saved_thread;
}

// ---- Task ----

Task::Task(Element* e) : _owner(e) {}

Task::Task(TaskCallback f, void* user_data) : _hook(f), _thunk(user_data) {}

Task::~Task() {
    if (_router) {
        Master* m = _router->master();
        if (m && _router->running()) {
            // Should not happen (elements die after their router stops);
            // make the task inert at least.
            _should_run.store(false);
        }
        _router->unregister_task(this);
    }
}

void Task::initialize(Element* owner, bool schedule) {
    if (!_owner)
        _owner = owner;
    _home_thread.store(owner->home_thread_id());
    if (int t = owner->router() ? owner->router()->schedule_tickets(owner) : 0)
        set_tickets(t);
    initialize(owner->router(), schedule);
}

void Task::initialize(Router* router, bool schedule) {
    if (_router)
        return;
    _router = router;
    int n = router->nthreads();
    int home = _home_thread.load();
    if (home < 0 || home >= n)
        _home_thread.store(home < 0 ? 0 : n - 1);
    _thread_id = _home_thread.load();
    router->register_task(this);
    if (schedule)
        reschedule();
}

RouterThread* Task::thread() const {
    if (!_router || !_router->master())
        return nullptr;
    return _router->master()->thread(home_thread_id());
}

void Task::reschedule() {
    _should_run.store(true);
    if (!_router || !_router->running())
        return;
    Master* m = _router->master();
    int where = _thread_id;
    if (tl_current == m->thread(where) && _home_thread.load(std::memory_order_relaxed) == where) {
        if (_rq_index < 0)
            m->thread(where)->add_to_list(this);
    } else
        m->thread(where)->add_pending(this);
}

void Task::unschedule() {
    _should_run.store(false);
    if (!_router || !_router->running())
        return;
    Master* m = _router->master();
    int where = _thread_id;
    if (tl_current == m->thread(where)) {
        if (_rq_index >= 0)
            m->thread(where)->remove_from_list(this);
    } else
        m->thread(where)->add_pending(this);
}

void Task::move_thread(int thread_id) {
    if (!_router) {
        _home_thread.store(thread_id < 0 ? 0 : thread_id);
        return;
    }
    int n = _router->nthreads();
    if (thread_id < 0)
        thread_id = 0;
    if (thread_id >= n)
        thread_id = n - 1;
    _home_thread.store(thread_id);
    if (!_router->running()) {
        _thread_id = thread_id;
        return;
    }
    _router->master()->thread(_thread_id)->add_pending(this);
}

bool Task::fire() {
    ++_runs;
    if (_hook)
        return _hook(this, _thunk);
    if (_owner)
        return _owner->run_task(this);
    return false;
}

// ---- Timer ----

Timer::Timer() = default;
Timer::Timer(TimerCallback f, void* user_data) : _hook(f), _thunk(user_data) {}
Timer::Timer(Element* e) : _owner(e) {}
Timer::Timer(Task* t) : _thunk(t) {
    _hook = [](Timer*, void* task) { static_cast<Task*>(task)->reschedule(); };
}
Timer::Timer(std::function<void(Timer*)> f) : _fn(std::move(f)) {}

Timer::~Timer() {
    unschedule();
    if (_router)
        _router->unregister_timer(this);
}

void Timer::assign(TimerCallback f, void* user_data) {
    _hook = f;
    _thunk = user_data;
    _fn = nullptr;
}

void Timer::assign(Element* e) {
    _hook = nullptr;
    _fn = nullptr;
    _owner = e;
}

void Timer::assign(Task* t) {
    _fn = nullptr;
    _thunk = t;
    _hook = [](Timer*, void* task) { static_cast<Task*>(task)->reschedule(); };
}

void Timer::initialize(Element* owner, bool) {
    if (!_owner)
        _owner = owner;
    _thread_id = owner->home_thread_id();
    initialize(owner->router());
}

void Timer::initialize(Router* router) {
    if (_router)
        return;
    _router = router;
    if (_thread_id < 0 || _thread_id >= router->nthreads())
        _thread_id = 0;
    router->register_timer(this);
}

Timestamp Timer::expiry() const { return Timestamp::steady_to_wall(_expiry); }

void Timer::schedule_at_steady(const Timestamp& when) {
    if (!_router) {
        click_chatter("Timer scheduled before initialize(); ignored");
        return;
    }
    Master* m = _router->master();
    RouterThread* t = m->thread(_thread_id);
    bool wake = false;
    {
        std::lock_guard<std::mutex> g(t->_timer_lock);
        _expiry = when;
        _scheduled.store(true);
        if (_router->running()) {
            int64_t before = t->_first_expiry.load();
            t->timer_insert(this);
            wake = when.nsecval() < before;
        }
    }
    if (wake && tl_current != t)
        t->wake();
}

void Timer::schedule_at(const Timestamp& when) { schedule_at_steady(Timestamp::wall_to_steady(when)); }
void Timer::schedule_now() { schedule_at_steady(Timestamp::now_steady()); }
void Timer::schedule_after(const Timestamp& delta) { schedule_at_steady(Timestamp::now_steady() + delta); }
void Timer::reschedule_after(const Timestamp& delta) {
    if (_expiry.is_zero())
        schedule_after(delta);
    else
        schedule_at_steady(_expiry + delta);
}

void Timer::unschedule() {
    if (!_router)
        return;
    RouterThread* t = _router->master()->thread(_thread_id);
    std::lock_guard<std::mutex> g(t->_timer_lock);
    if (_heap_index >= 0)
        t->timer_remove(this);
    _scheduled.store(false);
}

void Timer::move_thread(int thread_id) {
    if (!_router) {
        _thread_id = thread_id;
        return;
    }
    if (thread_id < 0 || thread_id >= _router->nthreads())
        thread_id = 0;
    bool was = scheduled();
    Timestamp when = _expiry;
    unschedule();
    _thread_id = thread_id;
    if (was)
        schedule_at_steady(when);
}

void Timer::fire() {
    if (_fn)
        _fn(this);
    else if (_hook)
        _hook(this, _thunk);
    else if (_owner)
        _owner->run_timer(this);
}

// ---- Master ----

Master::Master(int nthreads) {
    if (nthreads < 1)
        nthreads = 1;
    for (int i = 0; i < nthreads; ++i)
        _threads.push_back(new RouterThread(this, i));
    current_master.store(this);
}

Master::~Master() {
    collect_garbage();
    Master* me = this;
    current_master.compare_exchange_strong(me, nullptr);
    for (RouterThread* t : _threads)
        delete t;
}

Master* Master::current() {
    Master* m = current_master.load();
    if (!m) {
        static Master* fallback = new Master(1);
        m = fallback;
    }
    return m;
}

void Master::please_stop() {
    _stop.store(true);
    for (RouterThread* t : _threads) {
        // async-signal-safe: a plain write to the eventfd
        uint64_t one = 1;
        ssize_t r = write(t->_wakefd, &one, sizeof(one));
        (void) r;
    }
}

void Master::start_router(Router* r) {
    r->_running.store(true, std::memory_order_release);
    for (Task* t : r->_tasks) {
        int home = t->_home_thread.load();
        t->_thread_id = home;
        if (t->_should_run.load())
            _threads[home]->add_pending(t);
    }
    for (Timer* t : r->_timers) {
        RouterThread* th = _threads[t->_thread_id];
        std::lock_guard<std::mutex> g(th->_timer_lock);
        if (t->_scheduled.load() && t->_heap_index < 0)
            th->timer_insert(t);
    }
    for (auto& s : r->_selects)
        _threads[std::min(s.e->home_thread_id(), nthreads() - 1)]->add_select(s.fd, s.mask, s.e, nullptr);
    for (RouterThread* th : _threads)
        th->wake();
}

// Other threads are paused or not running.
void Master::stop_router(Router* r) {
    r->_running.store(false, std::memory_order_release);
    for (RouterThread* th : _threads) {
        std::lock_guard<std::mutex> g(th->_pending_lock);
        Task* list = th->_pending_head.exchange(nullptr);
        Task* keep = nullptr;
        while (list) {
            Task* t = list;
            list = t->_pending_next;
            if (t->_router == r) {
                t->_pending_next = nullptr;
                t->_pending.store(false);
            } else {
                t->_pending_next = keep;
                keep = t;
            }
        }
        th->_pending_head.store(keep);
    }
    for (Task* t : r->_tasks)
        if (t->_rq_index >= 0)
            _threads[t->_thread_id]->remove_from_list(t);
    for (Timer* t : r->_timers) {
        RouterThread* th = _threads[t->_thread_id];
        std::lock_guard<std::mutex> g(th->_timer_lock);
        if (t->_heap_index >= 0)
            th->timer_remove(t);   // _scheduled stays: the timer is only parked
    }
    for (RouterThread* th : _threads)
        th->remove_router_selects(r);
}

int Master::run(Router* router) {
    // A stop asked for before run() (during configure or initialize, or by
    // a signal) takes effect at once: the threads run no task.
    _router = router;
    start_router(router);
    _running.store(true);
    {
        std::lock_guard<std::mutex> lk(_pause_lock);
        _alive = nthreads() - 1;
    }
    for (int i = 1; i < nthreads(); ++i)
        _threads[i]->_thread = std::thread([this, i] {
            // "router/N" in top -H, ps -L and profiles; thread 0 is the
            // caller's and keeps its name (the process's, for pgrep).
            char name[16];
            snprintf(name, sizeof name, "router/%d", i);
            pthread_setname_np(pthread_self(), name);
            _threads[i]->driver();
            std::lock_guard<std::mutex> lk(_pause_lock);
            --_alive;
            _pause_cv.notify_all();
        });
    _threads[0]->driver();
    for (int i = 1; i < nthreads(); ++i)
        if (_threads[i]->_thread.joinable())
            _threads[i]->_thread.join();
    {
        std::lock_guard<std::mutex> lk(_call_lock);
        _running.store(false);
    }
    run_calls();
    if (_router)
        stop_router(_router);
    collect_garbage();
    _stop.store(false);   // ready to run again
    return 0;
}

void Master::pause_others() {
    std::unique_lock<std::mutex> lk(_pause_lock);
    _pause.store(true);
    for (int i = 1; i < nthreads(); ++i)
        _threads[i]->wake();
    _pause_cv.wait(lk, [&] { return _paused >= _alive; });
}

void Master::unpause_others() {
    std::lock_guard<std::mutex> lk(_pause_lock);
    _pause.store(false);
    _pause_cv.notify_all();
}

void Master::hotswap(Router* r, ErrorHandler* errh) {
    if (!errh)
        errh = ErrorHandler::default_handler();
    bool live = _running.load();
    if (live)
        pause_others();
    Router* old = _router;
    if (old)
        stop_router(old);
    for (Element* e : r->elements())
        if (Element* o = e->hotswap_element())
            e->take_state(o, errh);
    r->_hotswap_router = nullptr;
    _router = r;
    if (live)
        start_router(r);
    if (live)
        unpause_others();
    if (old)
        _garbage.push_back(old);
}

void Master::collect_garbage() {
    std::vector<Router*> g;
    g.swap(_garbage);
    for (Router* r : g)
        delete r;
    // A replaced router frees its elements' tables, queues and codec contexts
    // at once; handing the free pages back keeps a router that is swapped
    // again and again at the size of one configuration, rather than at the
    // peak of two side by side.
    if (!g.empty())
        malloc_trim(0);
}

void Master::call_on_thread0(const std::function<void()>& f) {
    if (!_running.load() || tl_current == _threads[0]) {
        f();
        return;
    }
    CallRecord call{&f};
    {
        std::lock_guard<std::mutex> lk(_call_lock);
        if (!_running.load()) {
            // Stopped meanwhile: run here.
            goto direct;
        }
        _calls.push_back(&call);
        _has_calls.store(true);
    }
    _threads[0]->wake();
    {
        std::unique_lock<std::mutex> lk(_call_lock);
        _call_cv.wait(lk, [&] { return call.done; });
    }
    return;
direct:
    f();
}

void Master::run_calls() {
    std::vector<CallRecord*> calls;
    {
        std::lock_guard<std::mutex> lk(_call_lock);
        calls.swap(_calls);
        _has_calls.store(false);
    }
    for (CallRecord* c : calls) {
        (*c->f)();
        std::lock_guard<std::mutex> lk(_call_lock);
        c->done = true;
    }
    if (!calls.empty())
        _call_cv.notify_all();
}
