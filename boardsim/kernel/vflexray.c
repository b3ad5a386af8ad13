// SPDX-License-Identifier: GPL-2.0-only
/*
 * The virtual FlexRay network device and its socket family (45, raw, protocol 1).
 *
 * Devices come and go as "ip link add NAME type vflexray" and "ip link del NAME". A socket
 * binds to one by its interface index (8 bytes: family, two bytes of fill, the index). Each
 * write of 296 bytes is one record; it goes into the device's queue, which holds txqueuelen
 * records (10 unless changed). The device takes records from the queue in order and hands each
 * to every other socket bound to it, to the interface's packet taps, and counts it in the
 * interface's transmit statistics. A write to a full queue fails with ENOBUFS; poll reports
 * POLLOUT as soon as a record has been taken.
 *
 * A socket that has never written is the device's reader: a record stays in the queue until
 * every reader has room for it, so that a reader loses nothing and the queue fills behind a
 * slow one. A socket that writes is no reader: what does not fit its receive queue is dropped,
 * so that two writers cannot hold each other up.
 *
 * /sys/class/net/NAME/stall: 1 stops the device from taking records (the queue fills); 0 lets
 * it go on. /sys/class/net/NAME/queued: the records in the queue.
 *
 * No capability is needed, as for the kernel's own CAN raw sockets.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/if_arp.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/net.h>
#include <linux/netdevice.h>
#include <linux/poll.h>
#include <linux/skbuff.h>
#include <net/rtnetlink.h>
#include <net/sock.h>

#include "vboard.h"

#define PF_VFLEXRAY 45
#define VFLEXRAY_PROTOCOL 1
#define VFLEXRAY_RECORD 296
#define VFLEXRAY_QUEUE 10
#define VFLEXRAY_ADDRESS 8

/* The socket address: family, fill, interface index. */
struct sockaddr_vflexray {
	__kernel_sa_family_t family;
	__u16 fill;
	__s32 ifindex;
};

struct vflexray_dev {
	struct net_device *dev;
	struct sk_buff_head queue;
	struct list_head socks; /* bound to this device */
	bool stalled;
};

struct vflexray_sock {
	struct sock sk; /* first: the socket layer allocates this struct */
	struct vflexray_dev *bound;
	netdevice_tracker tracker;
	struct list_head node;
	int ifindex;
	bool wrote; /* a writer, not a reader */
	bool gone;  /* its device was removed */
};

/*
 * One lock for the devices' queues and every binding: each caller (a write, a read, poll,
 * bind, close, the stall switch, a device's removal) runs in process context.
 */
static DEFINE_MUTEX(vflexray_lock);

static struct vflexray_sock *vflexray_sk(struct sock *sk)
{
	return container_of(sk, struct vflexray_sock, sk);
}

static bool is_vflexray(const struct net_device *dev);

static unsigned int queue_limit(const struct vflexray_dev *vd)
{
	return max_t(unsigned int, READ_ONCE(vd->dev->tx_queue_len), 1);
}

static bool reader_has_room(struct sock *sk, const struct sk_buff *skb)
{
	return atomic_read(&sk->sk_rmem_alloc) + skb->truesize <= (unsigned int)READ_ONCE(sk->sk_rcvbuf);
}

static void wake_writer(struct sock *sk)
{
	struct socket_wq *wq;

	rcu_read_lock();
	wq = rcu_dereference(sk->sk_wq);
	if (skwq_has_sleeper(wq))
		wake_up_interruptible_poll(&wq->wait, EPOLLOUT | EPOLLWRNORM | EPOLLWRBAND);
	rcu_read_unlock();
}

/* Takes records from the queue for as long as the device runs and its readers have room. */
static void vflexray_drain(struct vflexray_dev *vd)
{
	struct vflexray_sock *vs;
	struct sk_buff *skb;

	lockdep_assert_held(&vflexray_lock);
	while (!vd->stalled && (skb = skb_peek(&vd->queue))) {
		list_for_each_entry(vs, &vd->socks, node)
			if (&vs->sk != skb->sk && !vs->wrote && !reader_has_room(&vs->sk, skb))
				return;
		__skb_unlink(skb, &vd->queue);
		list_for_each_entry(vs, &vd->socks, node) {
			struct sk_buff *copy;

			if (&vs->sk == skb->sk)
				continue;
			copy = skb_clone(skb, GFP_KERNEL);
			if (!copy || sock_queue_rcv_skb(&vs->sk, copy) < 0) {
				kfree_skb(copy);
				vd->dev->stats.rx_dropped++;
			}
		}
		vd->dev->stats.tx_packets++;
		vd->dev->stats.tx_bytes += skb->len;
		/* The taps: through the stack, which then hands it to vflexray_start_xmit. */
		if (vd->dev->flags & IFF_UP)
			dev_queue_xmit(skb);
		else
			consume_skb(skb);
		list_for_each_entry(vs, &vd->socks, node)
			wake_writer(&vs->sk);
	}
}

static void unbind(struct vflexray_sock *vs)
{
	lockdep_assert_held(&vflexray_lock);
	if (!vs->bound)
		return;
	list_del(&vs->node);
	netdev_put(vs->bound->dev, &vs->tracker);
	vs->bound = NULL;
}

/* ------------------------------------------------------------------ the device */

static netdev_tx_t vflexray_start_xmit(struct sk_buff *skb, struct net_device *dev)
{
	consume_skb(skb);
	return NETDEV_TX_OK;
}

/* The device goes: its sockets let it go (their writes then fail with ENETDOWN). */
static void vflexray_uninit(struct net_device *dev)
{
	struct vflexray_dev *vd = netdev_priv(dev);
	struct vflexray_sock *vs, *next;

	mutex_lock(&vflexray_lock);
	list_for_each_entry_safe(vs, next, &vd->socks, node) {
		unbind(vs);
		vs->gone = true;
		vs->sk.sk_err = ENETDOWN;
		sk_error_report(&vs->sk);
		wake_writer(&vs->sk);
	}
	__skb_queue_purge(&vd->queue);
	mutex_unlock(&vflexray_lock);
}

static const struct net_device_ops vflexray_netdev_ops = {
	.ndo_uninit = vflexray_uninit,
	.ndo_start_xmit = vflexray_start_xmit,
};

static ssize_t stall_show(struct device *d, struct device_attribute *attr, char *buf)
{
	struct vflexray_dev *vd = netdev_priv(to_net_dev(d));

	return sysfs_emit(buf, "%d\n", READ_ONCE(vd->stalled));
}

static ssize_t stall_store(struct device *d, struct device_attribute *attr, const char *buf,
			   size_t len)
{
	struct vflexray_dev *vd = netdev_priv(to_net_dev(d));
	bool stall;
	int err = kstrtobool(buf, &stall);

	if (err)
		return err;
	mutex_lock(&vflexray_lock);
	WRITE_ONCE(vd->stalled, stall);
	vflexray_drain(vd);
	mutex_unlock(&vflexray_lock);
	return len;
}
static DEVICE_ATTR_RW(stall);

static ssize_t queued_show(struct device *d, struct device_attribute *attr, char *buf)
{
	struct vflexray_dev *vd = netdev_priv(to_net_dev(d));

	return sysfs_emit(buf, "%u\n", skb_queue_len_lockless(&vd->queue));
}
static DEVICE_ATTR_RO(queued);

static struct attribute *vflexray_attrs[] = {
	&dev_attr_stall.attr,
	&dev_attr_queued.attr,
	NULL,
};

static const struct attribute_group vflexray_group = {
	.attrs = vflexray_attrs,
};

static void vflexray_setup(struct net_device *dev)
{
	struct vflexray_dev *vd = netdev_priv(dev);

	dev->type = ARPHRD_NONE;
	dev->mtu = VFLEXRAY_RECORD;
	dev->min_mtu = VFLEXRAY_RECORD;
	dev->max_mtu = VFLEXRAY_RECORD;
	dev->hard_header_len = 0;
	dev->addr_len = 0;
	dev->tx_queue_len = VFLEXRAY_QUEUE;
	dev->flags = IFF_NOARP;
	dev->priv_flags |= IFF_NO_QUEUE;
	dev->netdev_ops = &vflexray_netdev_ops;
	dev->needs_free_netdev = true;
	dev->sysfs_groups[0] = &vflexray_group;

	vd->dev = dev;
	skb_queue_head_init(&vd->queue);
	INIT_LIST_HEAD(&vd->socks);
}

static struct rtnl_link_ops vflexray_link_ops __read_mostly = {
	.kind = "vflexray",
	.priv_size = sizeof(struct vflexray_dev),
	.setup = vflexray_setup,
};

static bool is_vflexray(const struct net_device *dev)
{
	return dev->rtnl_link_ops == &vflexray_link_ops;
}

/* ------------------------------------------------------------------ the sockets */

static int vflexray_release(struct socket *sock)
{
	struct sock *sk = sock->sk;

	if (!sk)
		return 0;
	mutex_lock(&vflexray_lock);
	unbind(vflexray_sk(sk));
	mutex_unlock(&vflexray_lock);
	sock_orphan(sk);
	sock->sk = NULL;
	skb_queue_purge(&sk->sk_receive_queue);
	sock_put(sk);
	return 0;
}

static int vflexray_bind(struct socket *sock, struct sockaddr *uaddr, int len)
{
	struct sockaddr_vflexray *addr = (struct sockaddr_vflexray *)uaddr;
	struct vflexray_sock *vs = vflexray_sk(sock->sk);
	struct net_device *dev;
	int err = 0;

	if (len < VFLEXRAY_ADDRESS || addr->family != PF_VFLEXRAY)
		return -EINVAL;
	dev = dev_get_by_index(sock_net(sock->sk), addr->ifindex);
	if (!dev)
		return -ENODEV;
	mutex_lock(&vflexray_lock);
	if (vs->bound)
		err = -EINVAL; /* bound once, for its life */
	else if (!is_vflexray(dev) || dev->reg_state != NETREG_REGISTERED)
		err = -ENODEV;
	if (!err) {
		struct vflexray_dev *vd = netdev_priv(dev);

		vs->bound = vd;
		vs->ifindex = dev->ifindex;
		vs->gone = false;
		netdev_hold(dev, &vs->tracker, GFP_KERNEL);
		list_add_tail(&vs->node, &vd->socks);
	}
	mutex_unlock(&vflexray_lock);
	dev_put(dev);
	return err;
}

static int vflexray_getname(struct socket *sock, struct sockaddr *uaddr, int peer)
{
	struct sockaddr_vflexray *addr = (struct sockaddr_vflexray *)uaddr;

	if (peer)
		return -EOPNOTSUPP;
	memset(addr, 0, sizeof(*addr));
	addr->family = PF_VFLEXRAY;
	addr->ifindex = READ_ONCE(vflexray_sk(sock->sk)->ifindex);
	return sizeof(*addr);
}

static __poll_t vflexray_poll(struct file *file, struct socket *sock, poll_table *wait)
{
	__poll_t mask = datagram_poll(file, sock, wait);
	struct vflexray_sock *vs = vflexray_sk(sock->sk);

	mask &= ~(EPOLLOUT | EPOLLWRNORM | EPOLLWRBAND);
	mutex_lock(&vflexray_lock);
	/* Unbound or gone, a write fails at once: that is no reason to wait either. */
	if (!vs->bound || skb_queue_len(&vs->bound->queue) < queue_limit(vs->bound))
		mask |= EPOLLOUT | EPOLLWRNORM | EPOLLWRBAND;
	mutex_unlock(&vflexray_lock);
	return mask;
}

static int vflexray_ioctl(struct socket *sock, unsigned int cmd, unsigned long arg)
{
	/* SIOCGIFINDEX and the other interface requests: the socket layer's own. */
	return -ENOIOCTLCMD;
}

static int vflexray_sendmsg(struct socket *sock, struct msghdr *msg, size_t len)
{
	struct sock *sk = sock->sk;
	struct vflexray_sock *vs = vflexray_sk(sk);
	struct vflexray_dev *vd;
	struct sk_buff *skb;
	int err;

	if (len != VFLEXRAY_RECORD)
		return -EINVAL;
	if (msg->msg_name)
		return -EISCONN;
	skb = alloc_skb(len, GFP_KERNEL);
	if (!skb)
		return -ENOBUFS;
	err = memcpy_from_msg(skb_put(skb, len), msg, len);
	if (err)
		goto drop;
	skb_reset_mac_header(skb);
	skb_reset_network_header(skb);
	skb->protocol = htons(ETH_P_802_2);
	skb->priority = READ_ONCE(sk->sk_priority);

	mutex_lock(&vflexray_lock);
	vd = vs->bound;
	if (!vd)
		err = vs->gone ? -ENETDOWN : -ENXIO;
	else if (skb_queue_len(&vd->queue) >= queue_limit(vd))
		err = -ENOBUFS;
	if (err) {
		mutex_unlock(&vflexray_lock);
		goto drop;
	}
	vs->wrote = true;
	skb->dev = vd->dev;
	skb_set_owner_w(skb, sk);
	__skb_queue_tail(&vd->queue, skb);
	vflexray_drain(vd);
	mutex_unlock(&vflexray_lock);
	return len;

drop:
	kfree_skb(skb);
	return err;
}

static int vflexray_recvmsg(struct socket *sock, struct msghdr *msg, size_t size, int flags)
{
	struct sock *sk = sock->sk;
	struct vflexray_sock *vs = vflexray_sk(sk);
	struct sk_buff *skb;
	size_t copied;
	int err;

	if (flags & ~(MSG_DONTWAIT | MSG_TRUNC | MSG_PEEK | MSG_CMSG_COMPAT))
		return -EOPNOTSUPP;
	skb = skb_recv_datagram(sk, flags, &err);
	if (!skb)
		return err;
	copied = min_t(size_t, size, skb->len);
	if (copied < skb->len)
		msg->msg_flags |= MSG_TRUNC;
	err = skb_copy_datagram_msg(skb, 0, msg, copied);
	if (!err)
		err = (flags & MSG_TRUNC) ? skb->len : copied;
	skb_free_datagram(sk, skb);

	/* Room again: the records that waited for this reader go on. */
	mutex_lock(&vflexray_lock);
	if (vs->bound && !skb_queue_empty(&vs->bound->queue))
		vflexray_drain(vs->bound);
	mutex_unlock(&vflexray_lock);
	return err;
}

static const struct proto_ops vflexray_ops = {
	.family = PF_VFLEXRAY,
	.owner = THIS_MODULE,
	.release = vflexray_release,
	.bind = vflexray_bind,
	.connect = sock_no_connect,
	.socketpair = sock_no_socketpair,
	.accept = sock_no_accept,
	.getname = vflexray_getname,
	.poll = vflexray_poll,
	.ioctl = vflexray_ioctl,
	.listen = sock_no_listen,
	.shutdown = sock_no_shutdown,
	.sendmsg = vflexray_sendmsg,
	.recvmsg = vflexray_recvmsg,
	.mmap = sock_no_mmap,
};

static struct proto vflexray_proto __read_mostly = {
	.name = "VFLEXRAY",
	.owner = THIS_MODULE,
	.obj_size = sizeof(struct vflexray_sock),
};

static int vflexray_create(struct net *net, struct socket *sock, int protocol, int kern)
{
	struct sock *sk;

	if (sock->type != SOCK_RAW)
		return -ESOCKTNOSUPPORT;
	if (protocol != VFLEXRAY_PROTOCOL)
		return -EPROTONOSUPPORT;
	sk = sk_alloc(net, PF_VFLEXRAY, GFP_KERNEL, &vflexray_proto, kern);
	if (!sk)
		return -ENOMEM;
	sock->ops = &vflexray_ops;
	sock->state = SS_UNCONNECTED;
	sock_init_data(sock, sk);
	sk->sk_protocol = protocol;
	INIT_LIST_HEAD(&vflexray_sk(sk)->node);
	return 0;
}

static const struct net_proto_family vflexray_family = {
	.family = PF_VFLEXRAY,
	.create = vflexray_create,
	.owner = THIS_MODULE,
};

int vboard_vflexray_init(void)
{
	int err = proto_register(&vflexray_proto, 0);

	if (err)
		return err;
	err = sock_register(&vflexray_family);
	if (err)
		goto out_proto;
	err = rtnl_link_register(&vflexray_link_ops);
	if (err)
		goto out_sock;
	return 0;

out_sock:
	sock_unregister(PF_VFLEXRAY);
out_proto:
	proto_unregister(&vflexray_proto);
	pr_err("cannot register the vflexray devices: %d\n", err);
	return err;
}

void vboard_vflexray_exit(void)
{
	rtnl_link_unregister(&vflexray_link_ops);
	sock_unregister(PF_VFLEXRAY);
	proto_unregister(&vflexray_proto);
}

MODULE_ALIAS_RTNL_LINK("vflexray");
MODULE_ALIAS_NETPROTO(PF_VFLEXRAY);
