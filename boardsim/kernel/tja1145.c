// SPDX-License-Identifier: GPL-2.0-only
/*
 * SPI bus 1 with one device, spidev1.0, bound to the kernel's own spidev driver. Behind its
 * chip select sit the board's TJA1145 transceivers: the levels of GPIO 73, 39 and 41 (bits 0,
 * 1 and 2) choose the chip that answers a transfer; chips 6 and 7 do not exist.
 *
 * A chip is 128 register bytes. A two-byte frame carries the address in bits 7-1 of its first
 * byte and the read-only flag in bit 0; the second byte received is the register's value, and
 * unless the frame is read-only the second byte sent is stored. Stuck registers ignore writes,
 * the event registers 0x61, 0x63 and 0x64 clear the bits written as 1, and 0x60 reads as its
 * byte OR the summary bits (bit 0: 0x61 non-zero, bit 2: 0x63, bit 3: 0x64). A frame of another
 * length means nothing to the chip and sets the SPI failure bit of 0x61. The chip samples only
 * in mode 1 at 4 MHz at most; in another mode, or faster, nobody drives MISO (0xFF).
 *
 * debugfs, under vboard/tja1145/:
 *   chip<n>/regs     the chip's 128 registers, read or preset whole (another size: EINVAL)
 *   chip<n>/stuck    the registers that ignore writes, in hex, one a line
 *   chip<n>/present  0 takes the chip off the bus (it answers 0xFF)
 *   fail_transfer    N: messages after the N-th from now fail with EIO; -1 (the default): none
 * They last until the module is unloaded.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/spi/spi.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "vboard.h"

#define TJA1145_REGS 128
#define TJA1145_CHIPS 6
#define TJA1145_MAX_HZ 4000000
#define CONTROLLER_MAX_HZ 50000000
#define GLOBAL_EVENT 0x60
#define SYSTEM_EVENT 0x61
#define TRANSCEIVER_EVENT 0x63
#define WAKE_PIN_EVENT 0x64
#define SPI_FAILURE 0x02 /* in the system event register */

struct tja1145 {
	u8 regs[TJA1145_REGS];
	DECLARE_BITMAP(stuck, TJA1145_REGS);
	bool present;
};

static const unsigned int chip_select_lines[] = { 73, 39, 41 };

static struct tja1145 chips[TJA1145_CHIPS];
static DEFINE_MUTEX(chips_lock); /* the chips and the fault switch */
static long fail_after = -1;	 /* messages still to succeed; -1: no failure */
static struct platform_device *spi_pdev;
static struct spi_controller *spi_ctlr;

static void tja1145_power_on(struct tja1145 *c)
{
	memset(c->regs, 0, sizeof(c->regs));
	bitmap_zero(c->stuck, TJA1145_REGS);
	c->regs[0x01] = 0x04;	      /* Standby */
	c->regs[0x03] = 0x20;	      /* powered up, not yet in Normal mode */
	c->regs[0x22] = 0x18;	      /* oscillator running, bus inactive */
	c->regs[0x4c] = 0x03;	      /* wake-up on both WAKE pin edges */
	c->regs[SYSTEM_EVENT] = 0x10; /* left off mode after power-on */
	memset(c->regs + 0x68, 0xff, 8);
	c->regs[0x7e] = 0x70;
	c->present = true;
}

static u8 tja1145_read(const struct tja1145 *c, u8 address)
{
	u8 value = c->regs[address];

	if (address == GLOBAL_EVENT) {
		if (c->regs[SYSTEM_EVENT])
			value |= 0x01;
		if (c->regs[TRANSCEIVER_EVENT])
			value |= 0x04;
		if (c->regs[WAKE_PIN_EVENT])
			value |= 0x08;
	}
	return value;
}

static void tja1145_write(struct tja1145 *c, u8 address, u8 value)
{
	if (test_bit(address, c->stuck))
		return;
	if (address == SYSTEM_EVENT || address == TRANSCEIVER_EVENT || address == WAKE_PIN_EVENT)
		c->regs[address] &= ~value;
	else
		c->regs[address] = value;
}

static int selected_chip(void)
{
	int chip = 0;
	unsigned int bit;

	for (bit = 0; bit < ARRAY_SIZE(chip_select_lines); bit++)
		if (vboard_gpio_level(chip_select_lines[bit]))
			chip |= 1 << bit;
	return chip;
}

static int tja1145_prepare_message(struct spi_controller *ctlr, struct spi_message *msg)
{
	int err = 0;

	mutex_lock(&chips_lock);
	if (fail_after == 0)
		err = -EIO;
	else if (fail_after > 0)
		fail_after--;
	mutex_unlock(&chips_lock);
	return err;
}

/* One transfer is one chip-select frame. */
static int tja1145_transfer_one(struct spi_controller *ctlr, struct spi_device *spi,
				struct spi_transfer *t)
{
	const u8 *tx = t->tx_buf;
	u8 *rx = t->rx_buf;
	int chip = selected_chip();
	struct tja1145 *c = chip < TJA1145_CHIPS ? &chips[chip] : NULL;
	bool heard = (spi->mode & SPI_MODE_X_MASK) == SPI_MODE_1 && t->speed_hz <= TJA1145_MAX_HZ;
	u8 address;

	mutex_lock(&chips_lock);
	if (!c || !c->present || !heard) {
		if (rx)
			memset(rx, 0xff, t->len);
		goto out;
	}
	if (rx)
		memset(rx, 0, t->len);
	if (t->len != 2) {
		if (t->len)
			c->regs[SYSTEM_EVENT] |= SPI_FAILURE;
		goto out;
	}
	address = (tx ? tx[0] : 0) >> 1;
	if (rx)
		rx[1] = tja1145_read(c, address);
	if (!(tx && (tx[0] & 0x01)))
		tja1145_write(c, address, tx ? tx[1] : 0);
out:
	mutex_unlock(&chips_lock);
	return 0;
}

/* ------------------------------------------------------------------ debugfs */

static ssize_t regs_read(struct file *file, char __user *buf, size_t count, loff_t *pos)
{
	struct tja1145 *c = file->private_data;
	u8 copy[TJA1145_REGS];

	mutex_lock(&chips_lock);
	memcpy(copy, c->regs, sizeof(copy));
	mutex_unlock(&chips_lock);
	return simple_read_from_buffer(buf, count, pos, copy, sizeof(copy));
}

static ssize_t regs_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	struct tja1145 *c = file->private_data;
	u8 copy[TJA1145_REGS];

	if (*pos != 0 || count != sizeof(copy))
		return -EINVAL;
	if (copy_from_user(copy, buf, sizeof(copy)))
		return -EFAULT;
	mutex_lock(&chips_lock);
	memcpy(c->regs, copy, sizeof(copy));
	mutex_unlock(&chips_lock);
	*pos += count;
	return count;
}

static const struct file_operations regs_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = regs_read,
	.write = regs_write,
	.llseek = default_llseek,
};

static int stuck_show(struct seq_file *m, void *unused)
{
	struct tja1145 *c = m->private;
	unsigned int address;

	mutex_lock(&chips_lock);
	for_each_set_bit(address, c->stuck, TJA1145_REGS)
		seq_printf(m, "%02x\n", address);
	mutex_unlock(&chips_lock);
	return 0;
}

static int stuck_open(struct inode *inode, struct file *file)
{
	return single_open(file, stuck_show, inode->i_private);
}

/* The whole list at once: hex addresses apart by white space; an empty write clears it. */
static ssize_t stuck_write(struct file *file, const char __user *buf, size_t count, loff_t *pos)
{
	struct tja1145 *c = ((struct seq_file *)file->private_data)->private;
	DECLARE_BITMAP(stuck, TJA1145_REGS);
	char text[512], *p, *word;
	unsigned int address;

	if (*pos != 0 || count >= sizeof(text))
		return -EINVAL;
	if (copy_from_user(text, buf, count))
		return -EFAULT;
	text[count] = '\0';
	bitmap_zero(stuck, TJA1145_REGS);
	p = text;
	while ((word = strsep(&p, " \t\n"))) {
		if (!*word)
			continue;
		if (kstrtouint(word, 16, &address) || address >= TJA1145_REGS)
			return -EINVAL;
		set_bit(address, stuck);
	}
	mutex_lock(&chips_lock);
	bitmap_copy(c->stuck, stuck, TJA1145_REGS);
	mutex_unlock(&chips_lock);
	return count;
}

static const struct file_operations stuck_fops = {
	.owner = THIS_MODULE,
	.open = stuck_open,
	.read = seq_read,
	.write = stuck_write,
	.llseek = seq_lseek,
	.release = single_release,
};

static int fail_get(void *data, u64 *value)
{
	mutex_lock(&chips_lock);
	*value = (u64)(s64)fail_after;
	mutex_unlock(&chips_lock);
	return 0;
}

static int fail_set(void *data, u64 value)
{
	s64 n = (s64)value;

	if (n < -1)
		return -EINVAL;
	mutex_lock(&chips_lock);
	fail_after = n;
	mutex_unlock(&chips_lock);
	return 0;
}

DEFINE_DEBUGFS_ATTRIBUTE_SIGNED(fail_fops, fail_get, fail_set, "%lld\n");

static void tja1145_debugfs(struct dentry *debug)
{
	struct dentry *dir = debugfs_create_dir("tja1145", debug);
	char name[8];
	int i;

	for (i = 0; i < TJA1145_CHIPS; i++) {
		struct dentry *chip;

		snprintf(name, sizeof(name), "chip%d", i);
		chip = debugfs_create_dir(name, dir);
		debugfs_create_file("regs", 0600, chip, &chips[i], &regs_fops);
		debugfs_create_file("stuck", 0600, chip, &chips[i], &stuck_fops);
		debugfs_create_bool("present", 0600, chip, &chips[i].present);
	}
	debugfs_create_file_unsafe("fail_transfer", 0600, dir, NULL, &fail_fops);
}

/* ------------------------------------------------------------------ the bus */

int vboard_tja1145_init(struct dentry *debug)
{
	struct spi_device *spi;
	int i, err;

	for (i = 0; i < TJA1145_CHIPS; i++)
		tja1145_power_on(&chips[i]);

	spi_pdev = platform_device_register_simple("vboard-spi", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(spi_pdev))
		return PTR_ERR(spi_pdev);
	spi_ctlr = spi_alloc_host(&spi_pdev->dev, 0);
	if (!spi_ctlr) {
		err = -ENOMEM;
		goto out_pdev;
	}
	spi_ctlr->bus_num = 1;
	spi_ctlr->num_chipselect = 1;
	spi_ctlr->mode_bits = SPI_CPOL | SPI_CPHA;
	spi_ctlr->bits_per_word_mask = SPI_BPW_MASK(8);
	spi_ctlr->max_speed_hz = CONTROLLER_MAX_HZ;
	spi_ctlr->prepare_message = tja1145_prepare_message;
	spi_ctlr->transfer_one = tja1145_transfer_one;
	err = spi_register_controller(spi_ctlr);
	if (err) {
		spi_controller_put(spi_ctlr);
		goto out_pdev;
	}

	spi = spi_alloc_device(spi_ctlr);
	if (!spi) {
		err = -ENOMEM;
		goto out_ctlr;
	}
	/* Chip select 0 alone; the other slots unused, as spi_new_device leaves them. */
	for (i = 1; i < SPI_CS_CNT_MAX; i++)
		spi_set_chipselect(spi, i, 0xff);
	spi_set_chipselect(spi, 0, 0);
	spi->cs_index_mask = BIT(0);
	spi->max_speed_hz = TJA1145_MAX_HZ;
	spi->mode = SPI_MODE_1;
	spi->bits_per_word = 8;
	strscpy(spi->modalias, "spidev", sizeof(spi->modalias));
	/* The kernel's own spidev driver, by name: it lists no generic id of its own. */
	err = device_set_driver_override(&spi->dev, "spidev");
	if (!err)
		err = spi_add_device(spi);
	if (err) {
		spi_dev_put(spi);
		goto out_ctlr;
	}
	tja1145_debugfs(debug);
	return 0;

out_ctlr:
	spi_unregister_controller(spi_ctlr);
out_pdev:
	platform_device_unregister(spi_pdev);
	pr_err("cannot set up SPI bus 1: %d\n", err);
	return err;
}

void vboard_tja1145_exit(void)
{
	spi_unregister_controller(spi_ctlr);
	platform_device_unregister(spi_pdev);
}
