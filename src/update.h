// The flasher's run: configuration, image, port, target entry, flashing,
// target release, clean-up.
#ifndef TARVION_UPDATE_H
#define TARVION_UPDATE_H

int update_main(int argc, char **argv);

#endif
