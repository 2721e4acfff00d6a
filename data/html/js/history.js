// Command history for the console: up/down walk through earlier lines, like a shell. The line being
// typed is kept while the user browses and comes back after the newest entry.
(function (VX) {
  'use strict';

  class CommandHistory {
    constructor(max, initial) {
      this.max = max || 100;
      this.items = Array.isArray(initial) ? initial.filter((s) => typeof s === 'string').slice(-this.max) : [];
      this.pos = this.items.length;
      this.draft = '';
    }

    push(line) {
      const text = String(line);
      if (text.trim() !== '' && this.items[this.items.length - 1] !== text) {
        this.items.push(text);
        if (this.items.length > this.max) this.items.splice(0, this.items.length - this.max);
      }
      this.pos = this.items.length;
      this.draft = '';
    }

    // current: what the input holds now. Returns the text to show.
    up(current) {
      if (this.pos === this.items.length) this.draft = current;
      if (this.pos > 0) this.pos--;
      return this.items.length ? this.items[this.pos] : current;
    }

    down(current) {
      if (this.pos >= this.items.length) return current;
      this.pos++;
      return this.pos === this.items.length ? this.draft : this.items[this.pos];
    }
  }

  VX.CommandHistory = CommandHistory;
})(window.VX = window.VX || {});
