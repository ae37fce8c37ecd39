// The repair pipeline: load, summary, verify, repair, summary, verify, save.
