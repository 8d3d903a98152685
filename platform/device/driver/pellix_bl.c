// SPDX-License-Identifier: GPL-2.0-only
/*
 * The Pellix backlight as the emulated device carries it: a backlight class
 * device "pellix-bl", raw, levels 0..45, whose hardware is a record of every
 * level it was told. Module parameters let tests read and clear that record
 * and make the next update fail or stall, as misbehaving hardware would:
 *
 *   /sys/module/pellix_bl/parameters/updates        read: one level a line,
 *                                                    oldest first; write: clear
 *   /sys/module/pellix_bl/parameters/fail_next      errno for the next update
 *                                                    (1..4095; 0 for none)
 *   /sys/module/pellix_bl/parameters/stall_next_ms  delay for the next update
 *
 * Each of the last two applies to one update and then resets to 0.
 */
#include <linux/backlight.h>
#include <linux/delay.h>
#include <linux/err.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/spinlock.h>

#define PELLIX_MAX_BRIGHTNESS 45
/* Enough for the longest burst a test makes, and within one sysfs page. */
#define PELLIX_RECORD_SIZE 1024

static struct backlight_device *pellix_bl;

static DEFINE_SPINLOCK(record_lock);
static u8 record[PELLIX_RECORD_SIZE];
static unsigned int record_count;
static unsigned int record_lost;
static int hardware_level;

static int fail_next;

/*
 * Only a number an update could really return is taken: an errno, 1 up to
 * MAX_ERRNO, or 0 for none. Anything else would come out of write() as a
 * return value no caller can read as an error.
 */
static int fail_next_set(const char *value, const struct kernel_param *kp)
{
	int error;
	const int ret = kstrtoint(value, 0, &error);

	if (ret)
		return ret;
	if (error < 0 || error > MAX_ERRNO)
		return -EINVAL;
	xchg(&fail_next, error);
	return 0;
}

static const struct kernel_param_ops fail_next_ops = {
	.set = fail_next_set,
	.get = param_get_int,
};
module_param_cb(fail_next, &fail_next_ops, &fail_next, 0644);
MODULE_PARM_DESC(fail_next, "errno the next update fails with (1..4095); 0 for none");

static unsigned int stall_next_ms;
module_param(stall_next_ms, uint, 0644);
MODULE_PARM_DESC(stall_next_ms, "milliseconds the next update takes; 0 for none");

static void record_update(int level)
{
	spin_lock(&record_lock);
	if (record_count < PELLIX_RECORD_SIZE)
		record[record_count++] = (u8)level;
	else
		record_lost++;
	hardware_level = level;
	spin_unlock(&record_lock);
}

static int updates_get(char *buffer, const struct kernel_param *kp)
{
	unsigned int i;
	int length = 0;

	spin_lock(&record_lock);
	for (i = 0; i < record_count; i++)
		length += scnprintf(buffer + length, PAGE_SIZE - length, "%u\n", record[i]);
	/* A record that overflowed says so rather than look complete. */
	if (record_lost)
		length += scnprintf(buffer + length, PAGE_SIZE - length, "lost %u\n", record_lost);
	spin_unlock(&record_lock);
	return length;
}

static int updates_set(const char *value, const struct kernel_param *kp)
{
	spin_lock(&record_lock);
	record_count = 0;
	record_lost = 0;
	spin_unlock(&record_lock);
	return 0;
}

static const struct kernel_param_ops updates_ops = {
	.set = updates_set,
	.get = updates_get,
};
module_param_cb(updates, &updates_ops, NULL, 0644);
MODULE_PARM_DESC(updates, "levels the hardware was told, oldest first; write to clear");

/* Called by the backlight class, under its ops lock, for every accepted level. */
static int pellix_update_status(struct backlight_device *bd)
{
	const int error = xchg(&fail_next, 0);
	const unsigned int stall_ms = xchg(&stall_next_ms, 0);

	if (stall_ms)
		msleep(stall_ms);
	if (error)
		return -error;
	record_update(backlight_get_brightness(bd));
	return 0;
}

/* What actual_brightness reads: the level the hardware last took. */
static int pellix_get_brightness(struct backlight_device *bd)
{
	int level;

	spin_lock(&record_lock);
	level = hardware_level;
	spin_unlock(&record_lock);
	return level;
}

static const struct backlight_ops pellix_ops = {
	.update_status = pellix_update_status,
	.get_brightness = pellix_get_brightness,
};

static int __init pellix_init(void)
{
	const struct backlight_properties props = {
		.type = BACKLIGHT_RAW,
		.max_brightness = PELLIX_MAX_BRIGHTNESS,
	};

	pellix_bl = backlight_device_register("pellix-bl", NULL, NULL, &pellix_ops, &props);
	return PTR_ERR_OR_ZERO(pellix_bl);
}

static void __exit pellix_exit(void)
{
	backlight_device_unregister(pellix_bl);
}

module_init(pellix_init);
module_exit(pellix_exit);

MODULE_DESCRIPTION("Pellix backlight of the emulated device");
MODULE_LICENSE("GPL");
