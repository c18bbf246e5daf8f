// Receiving side of the datagram form: one recvmsg with its rights and credentials, and the
// decoder that turns an untrusted datagram into a received message.
//
// Every byte and every descriptor of a datagram comes from a process we do not trust. The
// decoder checks the whole layout before it keeps anything: sizes against the datagram
// length and the caller's limit, every descriptor inside the message, the region total, and
// the passed descriptors one for one against the port descriptors (plus the memfd in the
// memfd form). A datagram that fails any check is dropped with everything it carried, and
// nothing is logged, so a hostile sender can not flood the log. Regions are copied out of the
// datagram or read from the sealed memfd with pread (a client's file is never mapped), each
// into a heap block of its own that the received message then owns.
#include "platform/port_wire.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/port_space.h"

int port_scan_layout(const uint8_t* msg, size_t size, port_layout* out) {
    *out = {};
    if (size < sizeof(mach_msg_header_t)) {
        return EINVAL;
    }
    if ((port_load_u32(msg) & MACH_MSGH_BITS_COMPLEX) == 0) {
        return 0;
    }
    if (size < PORT_FIRST_DESCRIPTOR) {
        return EINVAL;
    }
    uint32_t count = port_load_u32(msg + PORT_BODY_OFFSET);
    size_t offset = PORT_FIRST_DESCRIPTOR;
    // Every step advances at least 12 bytes inside size, so a huge count ends early.
    for (uint32_t i = 0; i < count; ++i) {
        if (size - offset < PORT_PORT_DESCRIPTOR_SIZE) {
            return EINVAL;
        }
        uint8_t type = msg[offset + PORT_DESCRIPTOR_TYPE_OFFSET];
        if (type == MACH_MSG_PORT_DESCRIPTOR) {
            out->ports++;
            offset += PORT_PORT_DESCRIPTOR_SIZE;
        } else if (type == MACH_MSG_OOL_DESCRIPTOR) {
            if (size - offset < PORT_OOL_DESCRIPTOR_SIZE) {
                return EINVAL;
            }
            out->ool_total += port_load_u32(msg + offset + PORT_OOL_SIZE_OFFSET);
            offset += PORT_OOL_DESCRIPTOR_SIZE;
        } else {
            return EINVAL;
        }
    }
    out->descriptors = count;
    return 0;
}

int port_recv_datagram(int fd, uint8_t* staging, size_t staging_size, port_datagram* dg) {
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(int) * PORT_MAX_RIGHTS) + CMSG_SPACE(sizeof(ucred))];
    } control;
    iovec iov = {staging, staging_size};
    msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control.bytes;
    mh.msg_controllen = sizeof control.bytes;

    ssize_t n;
    do {
        n = recvmsg(fd, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno;
    }
    dg->length = static_cast<size_t>(n);
    dg->msg_flags = mh.msg_flags;

    for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int right;
                std::memcpy(&right, CMSG_DATA(c) + i * sizeof(int), sizeof right);
                if (dg->right_count == PORT_MAX_RIGHTS) {
                    ::close(right);
                    dg->rights_lost = true;
                    continue;
                }
                right = port_fd_nonzero(right);
                if (right < 0) {
                    dg->rights_lost = true;
                    continue;
                }
                dg->rights[dg->right_count++].reset(right);
            }
        } else if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
            ucred cred;
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
            // A datagram queued before credentials were asked for reports pid 0: no identity.
            if (cred.pid != 0) {
                dg->has_credentials = true;
                dg->pid = cred.pid;
                dg->uid = cred.uid;
                dg->gid = cred.gid;
            }
        }
    }
    return 0;
}

namespace {

// The memfd form is accepted only from a regular file of exactly the region total whose
// contents can no longer shrink or change under us.
bool memfd_acceptable(int fd, uint64_t total) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != total) {
        return false;
    }
    int seals = fcntl(fd, F_GET_SEALS);
    constexpr int required = F_SEAL_SHRINK | F_SEAL_WRITE;
    return seals >= 0 && (seals & required) == required;
}

bool read_fully(int fd, uint8_t* dst, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = pread(fd, dst, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        dst += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

void free_regions(uint8_t* msg, uint32_t descriptors) {
    port_for_each_descriptor(msg, descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_OOL_DESCRIPTOR) {
            std::free(reinterpret_cast<void*>(port_load_u64(msg + offset)));
            port_store_u64(msg + offset, 0);
        }
    });
}

void write_trailer(mach_msg_header_t* msg, const mach_msg_audit_trailer_t& trailer) {
    uint8_t* bytes = reinterpret_cast<uint8_t*>(msg);
    mach_msg_size_t size = msg->msgh_size;
    std::memset(bytes + size, 0, mach_msg_round(size) - size);
    std::memcpy(bytes + mach_msg_round(size), &trailer, sizeof trailer);
}

// Copies every out-of-line region into memory of its own and stores its address in its
// descriptor: from the inline tail at staging_tail, or from the memfd when memfd >= 0. False
// when memory or the memfd fails; addresses already stored are freed by free_regions.
bool copy_regions(uint8_t* msg, uint32_t descriptors, const uint8_t* staging_tail, int memfd) {
    bool copied = true;
    uint64_t position = 0;  // of the next region in the inline tail or the memfd
    port_for_each_descriptor(msg, descriptors, [&](size_t offset, uint8_t type) {
        if (type != MACH_MSG_OOL_DESCRIPTOR || !copied) {
            return;
        }
        uint32_t region = port_load_u32(msg + offset + PORT_OOL_SIZE_OFFSET);
        if (region == 0) {
            return;
        }
        auto* copy = static_cast<uint8_t*>(std::malloc(region));
        if (copy == nullptr) {
            copied = false;
            return;
        }
        if (memfd >= 0) {
            copied = read_fully(memfd, copy, region, position);
        } else {
            std::memcpy(copy, staging_tail + position, region);
        }
        // Stored even when the read failed, so that free_regions releases it.
        port_store_u64(msg + offset, reinterpret_cast<uint64_t>(copy));
        position += region;
    });
    return copied;
}

// The audit trailer after the message: the sender's ids when the datagram carried them.
// Without credentials the size stays 0, which fails every check that needs the token.
void write_audit_trailer(mach_msg_header_t* buffer, const port_datagram& dg) {
    mach_msg_audit_trailer_t trailer = {};
    trailer.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
    if (dg.has_credentials) {
        const uint32_t uid = dg.uid;
        const uint32_t gid = dg.gid;
        trailer.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
        trailer.msgh_sender = {{uid, gid}};
        trailer.msgh_audit = {{uid, uid, gid, uid, gid, static_cast<uint32_t>(dg.pid), 0, 0}};
    }
    write_trailer(buffer, trailer);
}

}  // namespace

kern_return_t port_decode(const uint8_t* staging, port_datagram* dg, mach_msg_header_t* buffer,
                          size_t buffer_size, size_t max_size) {
    if (dg->msg_flags & MSG_TRUNC) {
        return MACH_RCV_TOO_LARGE;
    }
    if ((dg->msg_flags & MSG_CTRUNC) || dg->rights_lost || dg->length < sizeof(mach_msg_header_t)) {
        return MACH_RCV_INVALID_DATA;
    }
    const size_t length = dg->length;
    const uint32_t size = port_load_u32(staging + offsetof(mach_msg_header_t, msgh_size));
    if (size < sizeof(mach_msg_header_t) || size > length) {
        return MACH_RCV_INVALID_DATA;
    }
    if (size > max_size ||
        mach_msg_round(size) + size_t{MACH_MSG_TRAILER_AUDIT_SIZE} > buffer_size) {
        return MACH_RCV_TOO_LARGE;
    }
    port_layout layout;
    if (port_scan_layout(staging, size, &layout) != 0 || layout.ool_total > PORT_MAX_OOL_TOTAL) {
        return MACH_RCV_INVALID_DATA;
    }
    // The two forms: regions inline behind the message, or all of them in a trailing memfd.
    bool in_memfd;
    if (length == size + layout.ool_total) {
        in_memfd = false;
    } else if (length == size && layout.ool_total > 0) {
        in_memfd = true;
    } else {
        return MACH_RCV_INVALID_DATA;
    }
    if (dg->right_count != layout.ports + (in_memfd ? 1u : 0u)) {
        return MACH_RCV_INVALID_DATA;
    }
    const int memfd = in_memfd ? dg->rights[dg->right_count - 1].get() : -1;
    if (in_memfd && !memfd_acceptable(memfd, layout.ool_total)) {
        return MACH_RCV_INVALID_DATA;
    }

    uint8_t* msg = reinterpret_cast<uint8_t*>(buffer);
    std::memcpy(msg, staging, size);
    // Address fields are meaningless on the wire; clear them before any can be freed.
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_OOL_DESCRIPTOR) {
            port_store_u64(msg + offset, 0);
        }
    });

    bool copied = copy_regions(msg, layout.descriptors, staging + size, memfd);
    if (!copied) {
        free_regions(msg, layout.descriptors);
        std::memset(msg, 0, size);
        return MACH_RCV_INVALID_DATA;
    }

    size_t next_right = 0;
    port_for_each_descriptor(msg, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_PORT_DESCRIPTOR) {
            port_store_u32(msg + offset, static_cast<uint32_t>(dg->rights[next_right++].release()));
        }
    });
    // The memfd, if any, is still owned by dg and closes with it.

    buffer->msgh_voucher_port = 0;
    write_audit_trailer(buffer, *dg);
    return 0;
}

void port_write_system_trailer(mach_msg_header_t* msg) {
    mach_msg_audit_trailer_t trailer = {};
    trailer.msgh_trailer_type = MACH_MSG_TRAILER_FORMAT_0;
    trailer.msgh_trailer_size = MACH_MSG_TRAILER_AUDIT_SIZE;
    write_trailer(msg, trailer);
}

void mach_msg_destroy(mach_msg_header_t* msg) {
    if (msg == nullptr) {
        return;
    }
    uint8_t* bytes = reinterpret_cast<uint8_t*>(msg);
    port_layout layout;
    if (port_scan_layout(bytes, msg->msgh_size, &layout) != 0) {
        return;
    }
    port_for_each_descriptor(bytes, layout.descriptors, [&](size_t offset, uint8_t type) {
        if (type == MACH_MSG_PORT_DESCRIPTOR) {
            uint32_t name = port_load_u32(bytes + offset);
            if (name != MACH_PORT_NULL) {
                ::close(static_cast<int>(name));
                port_store_u32(bytes + offset, MACH_PORT_NULL);
            }
        } else {
            std::free(reinterpret_cast<void*>(port_load_u64(bytes + offset)));
            port_store_u64(bytes + offset, 0);
        }
    });
}

void mig_deallocate(uint64_t address, uint32_t /*size*/) {
    std::free(reinterpret_cast<void*>(address));
}
