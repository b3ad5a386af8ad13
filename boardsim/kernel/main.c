// SPDX-License-Identifier: GPL-2.0-only
/*
 * vboard: the gateway board's facilities on the virtual board, for its tests only. The
 * chip-select lines of the transceivers live on the GPIO chip, so that comes first.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/debugfs.h>
#include <linux/module.h>

#include "vboard.h"

static struct dentry *vboard_debug;

static int __init vboard_init(void)
{
	int err;

	vboard_debug = debugfs_create_dir("vboard", NULL);
	err = vboard_gpio_init();
	if (err)
		goto out_debug;
	err = vboard_tja1145_init(vboard_debug);
	if (err)
		goto out_gpio;
	err = vboard_vflexray_init();
	if (err)
		goto out_tja1145;
	pr_info("GPIO 0-191, spidev1.0 with six TJA1145, vflexray devices\n");
	return 0;

out_tja1145:
	vboard_tja1145_exit();
out_gpio:
	vboard_gpio_exit();
out_debug:
	debugfs_remove_recursive(vboard_debug);
	return err;
}

static void __exit vboard_exit(void)
{
	vboard_vflexray_exit();
	vboard_tja1145_exit();
	vboard_gpio_exit();
	debugfs_remove_recursive(vboard_debug);
}

module_init(vboard_init);
module_exit(vboard_exit);

MODULE_DESCRIPTION("Stand-ins for the gateway board's GPIO lines, transceivers and FlexRay device");
MODULE_LICENSE("GPL");
