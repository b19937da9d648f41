/* Programs that reach the network without the C library's socket calls, for
 * the kernel capture tests:
 *   uring HOST PORT PATH     HTTP GET, connected through io_uring
 *   sendmmsg HOST PORT       one UDP datagram sent with a raw sendmmsg system
 *                            call, the reply read with a raw recvfrom
 *   leaderexit HOST PORT PATH  the main thread ends (pthread_exit); another
 *                            thread then makes the HTTP GET with connect()
 * IPv4 only. Prints what came back; exit 0 on success. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

static int address(const char* host, const char* port, struct sockaddr_in* sa) {
    memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    sa->sin_port = htons((unsigned short)atoi(port));
    return inet_pton(AF_INET, host, &sa->sin_addr) == 1 ? 0 : -1;
}

static int uringGet(const char* host, const char* port, const char* path) {
    struct sockaddr_in sa;
    if (address(host, port, &sa)) return 2;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct io_uring ring;
    if (s < 0 || io_uring_queue_init(4, &ring, 0) != 0) return 2;
    struct io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    io_uring_prep_connect(sqe, s, (struct sockaddr*)&sa, sizeof sa);
    io_uring_submit(&ring);
    struct io_uring_cqe* cqe;
    if (io_uring_wait_cqe(&ring, &cqe) != 0) return 2;
    int res = cqe->res;
    io_uring_cqe_seen(&ring, cqe);
    io_uring_queue_exit(&ring);
    if (res < 0) {
        fprintf(stderr, "io_uring connect: %s\n", strerror(-res));
        return 1;
    }
    char req[512];
    int n = snprintf(req, sizeof req, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", path, host);
    if (write(s, req, (size_t)n) != n) return 1;
    char buf[4096];
    ssize_t got = read(s, buf, sizeof buf - 1);
    if (got <= 0) return 1;
    buf[got] = 0;
    printf("%s\n", strstr(buf, " 200 ") ? "status=200" : "status=other");
    return strstr(buf, " 200 ") ? 0 : 1;
}

static int rawSendmmsg(const char* host, const char* port) {
    struct sockaddr_in sa, from;
    if (address(host, port, &sa)) return 2;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return 2;
    char payload[] = "mmsg";
    struct iovec iov = {payload, 4};
    struct mmsghdr m;
    memset(&m, 0, sizeof m);
    m.msg_hdr.msg_name = &sa;
    m.msg_hdr.msg_namelen = sizeof sa;
    m.msg_hdr.msg_iov = &iov;
    m.msg_hdr.msg_iovlen = 1;
    if (syscall(SYS_sendmmsg, s, &m, 1, 0) != 1) {
        perror("sendmmsg");
        return 1;
    }
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return 1;
    char buf[256];
    socklen_t len = sizeof from;
    long n = syscall(SYS_recvfrom, s, buf, sizeof buf - 1, 0, &from, &len);
    if (n <= 0) return 1;
    buf[n] = 0;
    char text[64];
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    printf("from=%s:%u\nreply=%s\n", text, ntohs(from.sin_port), buf);
    return 0;
}

static const char* gHost;
static const char* gPort;
static const char* gPath;

/* Waits (bounded) until the thread group's leader has ended, then asks. */
static void* afterLeader(void* unused) {
    (void)unused;
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/stat", (int)getpid());
    for (int i = 0; i < 1000; i++) {
        FILE* f = fopen(path, "r");
        char line[512] = "";
        if (f) {
            if (!fgets(line, sizeof line, f)) line[0] = 0;
            fclose(f);
        }
        const char* close = strrchr(line, ')');
        if (!f || (close && (close[2] == 'Z' || close[2] == 'X'))) break;
        usleep(10000);
    }
    struct sockaddr_in sa;
    if (address(gHost, gPort, &sa)) exit(2);
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0 || connect(s, (struct sockaddr*)&sa, sizeof sa) != 0) {
        perror("connect");
        exit(1);
    }
    char req[512];
    int n = snprintf(req, sizeof req, "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n", gPath, gHost);
    if (write(s, req, (size_t)n) != n) exit(1);
    char buf[4096];
    ssize_t got = read(s, buf, sizeof buf - 1);
    if (got <= 0) exit(1);
    buf[got] = 0;
    printf("%s\n", strstr(buf, " 200 ") ? "status=200" : "status=other");
    fflush(stdout);
    exit(strstr(buf, " 200 ") ? 0 : 1);
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "leaderexit") == 0) {
        gHost = argv[2];
        gPort = argv[3];
        gPath = argv[4];
        pthread_t t;
        if (pthread_create(&t, NULL, afterLeader, NULL) != 0) return 2;
        pthread_exit(NULL);
    }
    if (argc == 5 && strcmp(argv[1], "uring") == 0) return uringGet(argv[2], argv[3], argv[4]);
    if (argc == 4 && strcmp(argv[1], "sendmmsg") == 0) return rawSendmmsg(argv[2], argv[3]);
    fprintf(stderr, "usage: %s uring HOST PORT PATH | sendmmsg HOST PORT | leaderexit HOST PORT PATH\n", argv[0]);
    return 2;
}
