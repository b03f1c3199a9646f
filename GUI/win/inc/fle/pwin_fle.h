// Device file names. Stateless; any thread.
#pragma once

class CLS_pwin_fle {
public:
    // Size of the buffers that device file names are built in.
    static constexpr unsigned long kDevFileNameSize = 240;

    // Builds "\\.\" + dev_name + index in decimal (no padding) into dev_file.
    // Does not block; any thread. No result: it does nothing when dev_file
    // is null, and a null dev_name leaves dev_file empty. dev_file must hold
    // kDevFileNameSize bytes, and dev_name must leave room for the prefix
    // and up to 10 digits within them.
    static void pwin_make_dev_file_name(char *dev_file, char *dev_name, unsigned long index);
};
