/* A small control point built on libqmi, the open-source QMI library, for the
 * control-path benchmark: the same WDS Get Packet Service Status request that
 * KxCmdConnectionState sends, through libqmi against kxmodem's pseudo-terminal.
 *
 * Usage: kx_libqmi_client DEVICE. It opens the device, allocates a WDS client,
 * answers "ready" on standard output and then runs the commands it reads on
 * standard input, one a line, answering each with "done" or "fail TEXT":
 *   sync N      N requests, each sent when the previous reply came;
 *   async N K   N requests with K outstanding (each reply sends the next);
 *   quit        release the client and end (so does the end of input).
 * The benchmark measures time and CPU around each command from outside. */
#include <libqmi-glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct {
    GMainLoop *loop;
    QmiDevice *device;
    QmiClient *client;
    GError *error;
    /* The command under way. */
    long toSend;
    long outstanding;
    gboolean failed;
} Client;

static void Fail(Client *c, const char *what, GError *error) {
    if (!c->failed)
        fprintf(stderr, "kx_libqmi_client: %s: %s\n", what, error ? error->message : "failed");
    c->failed = TRUE;
    if (error)
        g_error_free(error);
}

static void SendOne(Client *c);

static void OnStatus(GObject *source, GAsyncResult *result, gpointer data) {
    Client *c = data;
    GError *error = NULL;
    QmiMessageWdsGetPacketServiceStatusOutput *output =
        qmi_client_wds_get_packet_service_status_finish(QMI_CLIENT_WDS(source), result, &error);
    c->outstanding--;
    if (!output)
        Fail(c, "request", error);
    else {
        QmiWdsConnectionStatus status;
        if (!qmi_message_wds_get_packet_service_status_output_get_result(output, &error) ||
            !qmi_message_wds_get_packet_service_status_output_get_connection_status(output, &status,
                                                                                    &error))
            Fail(c, "reply", error);
        qmi_message_wds_get_packet_service_status_output_unref(output);
    }
    if (!c->failed && c->toSend > 0)
        SendOne(c);
    else if (c->outstanding == 0)
        g_main_loop_quit(c->loop);
}

static void SendOne(Client *c) {
    c->toSend--;
    c->outstanding++;
    qmi_client_wds_get_packet_service_status(QMI_CLIENT_WDS(c->client), NULL, 10, NULL, OnStatus,
                                             c);
}

/* N requests, at most K outstanding. */
static gboolean Run(Client *c, long count, long inFlight) {
    c->toSend = count;
    c->outstanding = 0;
    c->failed = FALSE;
    for (long i = 0; i < inFlight && c->toSend > 0; ++i)
        SendOne(c);
    if (c->outstanding > 0)
        g_main_loop_run(c->loop);
    return !c->failed;
}

static void OnNew(GObject *source, GAsyncResult *result, gpointer data) {
    Client *c = data;
    c->device = qmi_device_new_finish(result, &c->error);
    g_main_loop_quit(c->loop);
}

static void OnOpen(GObject *source, GAsyncResult *result, gpointer data) {
    Client *c = data;
    qmi_device_open_finish(QMI_DEVICE(source), result, &c->error);
    g_main_loop_quit(c->loop);
}

static void OnAllocate(GObject *source, GAsyncResult *result, gpointer data) {
    Client *c = data;
    c->client = qmi_device_allocate_client_finish(QMI_DEVICE(source), result, &c->error);
    g_main_loop_quit(c->loop);
}

static void OnRelease(GObject *source, GAsyncResult *result, gpointer data) {
    Client *c = data;
    qmi_device_release_client_finish(QMI_DEVICE(source), result, NULL);
    g_main_loop_quit(c->loop);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: kx_libqmi_client DEVICE\n");
        return 2;
    }
    Client c;
    memset(&c, 0, sizeof c);
    c.loop = g_main_loop_new(NULL, FALSE);
    GFile *file = g_file_new_for_path(argv[1]);
    qmi_device_new(file, NULL, OnNew, &c);
    g_main_loop_run(c.loop);
    g_object_unref(file);
    if (c.device) {
        qmi_device_open(c.device, QMI_DEVICE_OPEN_FLAGS_NONE, 10, NULL, OnOpen, &c);
        g_main_loop_run(c.loop);
    }
    if (c.device && !c.error) {
        qmi_device_allocate_client(c.device, QMI_SERVICE_WDS, QMI_CID_NONE, 10, NULL, OnAllocate,
                                   &c);
        g_main_loop_run(c.loop);
    }
    if (!c.client || !Run(&c, 1, 1)) {
        fprintf(stderr, "kx_libqmi_client: cannot reach the module on %s: %s\n", argv[1],
                c.error ? c.error->message : "no reply");
        printf("fail open\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    char line[128];
    int status = 0;
    while (fgets(line, sizeof line, stdin)) {
        long count = 0, inFlight = 0;
        gboolean ok;
        if (sscanf(line, "sync %ld", &count) == 1 && count > 0)
            ok = Run(&c, count, 1);
        else if (sscanf(line, "async %ld %ld", &count, &inFlight) == 2 && count > 0 && inFlight > 0)
            ok = Run(&c, count, inFlight);
        else if (strncmp(line, "quit", 4) == 0)
            break;
        else {
            printf("fail unknown command\n");
            fflush(stdout);
            status = 1;
            continue;
        }
        printf(ok ? "done\n" : "fail request\n");
        fflush(stdout);
        if (!ok)
            status = 1;
    }
    qmi_device_release_client(c.device, c.client, QMI_DEVICE_RELEASE_CLIENT_FLAGS_RELEASE_CID, 10,
                              NULL, OnRelease, &c);
    g_main_loop_run(c.loop);
    g_object_unref(c.client);
    g_object_unref(c.device);
    g_main_loop_unref(c.loop);
    return status;
}
