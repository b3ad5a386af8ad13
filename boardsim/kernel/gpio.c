// SPDX-License-Identifier: GPL-2.0-only
/*
 * The board's GPIO lines 0-191 as one chip at base 0, so that the sysfs numbers are the
 * board's own (39, 41, 73: the transceivers' chip selects; 63: the FR-MCU's reset; 187: FRM).
 * A line keeps the level last set on it, and reads back that level in either direction.
 */
#define pr_fmt(fmt) KBUILD_MODNAME ": " fmt

#include <linux/bitmap.h>
#include <linux/gpio/driver.h>

#include "vboard.h"

#define VBOARD_GPIO_LINES 192

static DECLARE_BITMAP(levels, VBOARD_GPIO_LINES);
static DECLARE_BITMAP(outputs, VBOARD_GPIO_LINES);

static int vboard_gpio_get_direction(struct gpio_chip *gc, unsigned int line)
{
	return test_bit(line, outputs) ? GPIO_LINE_DIRECTION_OUT : GPIO_LINE_DIRECTION_IN;
}

static int vboard_gpio_direction_input(struct gpio_chip *gc, unsigned int line)
{
	clear_bit(line, outputs);
	return 0;
}

static void vboard_gpio_set(struct gpio_chip *gc, unsigned int line, int value)
{
	assign_bit(line, levels, value);
}

static int vboard_gpio_direction_output(struct gpio_chip *gc, unsigned int line, int value)
{
	vboard_gpio_set(gc, line, value);
	set_bit(line, outputs);
	return 0;
}

static int vboard_gpio_get(struct gpio_chip *gc, unsigned int line)
{
	return test_bit(line, levels);
}

static struct gpio_chip vboard_gpio_chip = {
	.label = "vboard-gpio",
	.owner = THIS_MODULE,
	.base = 0,
	.ngpio = VBOARD_GPIO_LINES,
	.get_direction = vboard_gpio_get_direction,
	.direction_input = vboard_gpio_direction_input,
	.direction_output = vboard_gpio_direction_output,
	.get = vboard_gpio_get,
	.set = vboard_gpio_set,
};

int vboard_gpio_level(unsigned int line)
{
	return line < VBOARD_GPIO_LINES && test_bit(line, levels);
}

int vboard_gpio_init(void)
{
	int err = gpiochip_add_data(&vboard_gpio_chip, NULL);

	if (err)
		pr_err("cannot add the GPIO chip: %d\n", err);
	return err;
}

void vboard_gpio_exit(void)
{
	gpiochip_remove(&vboard_gpio_chip);
}
