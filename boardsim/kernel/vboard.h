/* SPDX-License-Identifier: GPL-2.0-only */
/*
 * The board's facilities that the virtual board's kernel lacks: a GPIO chip at the board's
 * line numbers, the TJA1145 transceivers behind spidev on SPI bus 1, and the virtual FlexRay
 * network device with its socket family.
 */
#ifndef VBOARD_H
#define VBOARD_H

#include <linux/dcache.h>

struct dentry;

int vboard_gpio_init(void);
void vboard_gpio_exit(void);
/* The level last set on one of the chip's lines: 0 or 1. */
int vboard_gpio_level(unsigned int line);

int vboard_tja1145_init(struct dentry *debug);
void vboard_tja1145_exit(void);

int vboard_vflexray_init(void);
void vboard_vflexray_exit(void);

#endif
