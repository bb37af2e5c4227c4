// Where each channel's store lives: files on tmpfs mapped shared by the
// producer and the readers. The number is checked against the store's header.
#include "platform/framestore.h"

shm_conf_entry shm_chan_conf[4] = {
    {"/tmp/shm0", 100},
    {"/tmp/shm1", 101},
    {"/tmp/shm2", 102},
    {"/tmp/shm3", 103},
};

shm_conf_entry audio_chan_conf[2] = {
    {"/tmp/shm4", 110},
    {"/tmp/shm5", 111},
};
