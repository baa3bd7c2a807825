/*
 * zr-status.cpp -- the host's own identity, counters and time-outs (KQ_ZR_sl_*), and the
 * same records asked of a handheld (KQ_ZR_sr_*).
 */
#include "zr-internal.h"

#include <cstdio>
#include <cstring>

namespace {

/* The host's identity record, filled with defaults the first time it is read. */
zr_info host_info;

const uint8_t DEFAULT_SERIAL[8] = {1, 2, 3, 4, 0, 0, 0, 0};

void fill_host_defaults()
{
    std::memcpy(host_info.name, "zrhost", 7);
    if (host_info.addr == 0) {
        host_info.addr = 0x7F000001u;
        host_info.mask = 0xFFFFFFFCu;
    }
    std::memcpy(host_info.ser, DEFAULT_SERIAL, sizeof host_info.ser);
    const uint8_t ver[4] = {0, 3, 0, 0}, b1v[4] = {1, 0, 0, 0}, b2v[4] = {2, 0, 0, 0},
                  hwv[4] = {0, 0, 3, 134};
    std::memcpy(host_info.ver, ver, 4);
    std::memcpy(host_info.b1v, b1v, 4);
    std::memcpy(host_info.b2v, b2v, 4);
    std::memcpy(host_info.hwv, hwv, 4);
}

const int SCREEN_CHUNK = 1536;

} // namespace

extern "C" {

int KQ_ZR_sl_info(int op, zr_info *info)
{
    if (info == nullptr)
        return ZR_E_HANDLE;
    if (host_info.name[0] == '\0')
        fill_host_defaults();
    if (op == 2) {
        if (info->addr != 0x7F000001u) {
            if (info->addr != 0)
                host_info.addr = info->addr;
            if (info->mask != 0)
                host_info.mask = info->mask;
        }
    } else if (op != 1) {
        return ZR_E_OPERATION;
    }
    *info = host_info;
    info->bat[3] = 1;
    return 0;
}

int KQ_ZR_sl_serno(uint8_t *serial8)
{
    if (serial8 == nullptr)
        return ZR_E_HANDLE;
    if (host_info.ser[0] == 0)
        std::memcpy(host_info.ser, DEFAULT_SERIAL, sizeof host_info.ser);
    std::memcpy(serial8, host_info.ser, sizeof host_info.ser);
    return 0;
}

int KQ_ZR_sl_ipaddr(uint32_t *addr, uint32_t *mask)
{
    if (addr)
        *addr = host_info.addr;
    if (mask)
        *mask = host_info.mask;
    return 0;
}

int KQ_ZR_sl_stat(int op, zr_stat *stat)
{
    switch (op) {
    case 1: break;
    case 2:
        if (stat == nullptr)
            return ZR_E_HANDLE;
        zri_traffic.xpay0 += stat->xpay0;
        zri_traffic.xpay1 += stat->xpay1;
        zri_traffic.rpay0 += stat->rpay0;
        zri_traffic.rpay1 += stat->rpay1;
        return 0;
    case 3: zri_traffic = zr_stat{0, 0, 0, 0}; break;
    default: return ZR_E_OPERATION;
    }
    if (stat)
        *stat = zri_traffic;
    return 0;
}

int KQ_ZR_sl_tune(int op, zr_tune *tune)
{
    if (tune == nullptr)
        return ZR_E_HANDLE;
    if (op != 1 && op != 2)
        return ZR_E_OPERATION;
    if (op == 2) {
        if (tune->rtime != 0xFFFFFFFFu)
            zri_tune.rtime = tune->rtime;
        if (tune->xtime != 0xFFFFFFFFu)
            zri_tune.xtime = tune->xtime;
    }
    *tune = zri_tune;
    return 0;
}

int KQ_ZR_sl_scrn(void) { return 0; }

int KQ_ZR_sr_info(uint32_t addr, int op, zr_info *info)
{
    if (info == nullptr)
        return ZR_E_HANDLE;
    if (op != 1)
        return ZR_E_SOCKET;
    std::memset(info, 0, sizeof *info);
    return zri_request_fields(addr, "info 1\n", zr_fld_ret_inf(), info);
}

int KQ_ZR_sr_stat(uint32_t addr, int op, zr_stat *stat)
{
    if (stat == nullptr)
        return ZR_E_HANDLE;
    if (op != 1 && op != 3)
        return ZR_E_SOCKET;
    std::memset(stat, 0, sizeof *stat);
    char command[16];
    std::snprintf(command, sizeof command, "stat %d\n", op);
    return zri_request_fields(addr, command, zr_fld_ret_sta(), stat);
}

int KQ_ZR_sr_tune(uint32_t addr, int op, zr_tune *tune)
{
    if (tune == nullptr)
        return ZR_E_HANDLE;
    if (op != 1 && op != 2)
        return ZR_E_SOCKET;
    char command[64];
    if (op == 2)
        std::snprintf(command, sizeof command, "tune 2\nrtime=%lu\nxtime=%lu\n",
                      static_cast<unsigned long>(tune->rtime),
                      static_cast<unsigned long>(tune->xtime));
    else
        std::snprintf(command, sizeof command, "tune 1\n");
    tune->rtime = tune->xtime = 0;
    return zri_request_fields(addr, command, zr_fld_ret_tun(), tune);
}

int KQ_ZR_sr_scrn(uint32_t addr, void *dest, uint32_t offset, int maximum)
{
    if (dest == nullptr)
        return ZR_E_HANDLE;
    char command[64];
    std::snprintf(command, sizeof command, "scrn %d %lu %d\n", 1,
                  static_cast<unsigned long>(offset), maximum);
    zr_reader reader;
    char rest[ZR_LINE];
    int r = zri_request_raw(addr, command, &reader, rest);
    if (r < 0)
        return r;
    int32_t announced = 0;
    if (zr_p_long(&announced, rest) == 0) {
        zri_unbind_keep_errno(reader.socket);
        return ZR_E_STATUS;
    }
    int32_t n = announced;
    if (maximum != 0 && n > maximum)
        n = maximum;
    unsigned char *out = static_cast<unsigned char *>(dest);
    int32_t delivered = 0;
    if (n > 0) {
        int32_t buffered = reader.count - reader.position;
        delivered = buffered < n ? buffered : n;
        std::memcpy(out, reader.buffer + reader.position, static_cast<size_t>(delivered));
        while (delivered < n) {
            int want = n - delivered < SCREEN_CHUNK ? n - delivered : SCREEN_CHUNK;
            int got = KQ_ZR_1b_recv(reader.socket, 0, out + delivered, want);
            if (got <= 0)
                break;
            delivered += got;
        }
    }
    zri_unbind_keep_errno(reader.socket);
    return delivered;
}

} // extern "C"
