// Draws the report's figures on canvases: lines, points, bars, histograms and
// a density grid, with drag-to-zoom, double-click to reset, hover values and
// legend entries that hide a series. Each figure records the marks it drew in
// data-points and whether it is zoomed in data-zoomed, and the page records its figure count, the figures drawn, the
// script errors and the time taken as attributes of the body element, for
// whoever checks the page.
(function () {
  "use strict";
  var body = document.body;
  var errors = 0;
  window.addEventListener("error", function () { errors += 1; body.dataset.errors = String(errors); });
  var t0 = performance.now();
  var specs = JSON.parse(document.getElementById("qc-data").textContent);
  // Okabe and Ito's palette, then Tol's muted one: told apart by readers with a colour-vision deficiency.
  var COLORS = ["#0072B2", "#D55E00", "#009E73", "#E69F00", "#CC79A7", "#56B4E9", "#000000", "#882255",
    "#44AA99", "#999933", "#332288", "#CC6677", "#117733", "#AA4499", "#88CCEE", "#DDCC77",
    "#661100", "#6699CC", "#888888", "#B8860B"];
  var LINE_COLORS = { limit: "#D55E00", warn: "#B8860B", centre: "#4a5568" };
  var PAD = { l: 62, r: 12, t: 8, b: 34 };
  var TITLE_W = 18;  // room for the rotated y-axis title left of the tick labels

  function fmt(v) {
    if (v === null || v === undefined || !isFinite(v)) return "–";
    var a = Math.abs(v);
    if (a !== 0 && (a >= 1e5 || a < 1e-3)) return v.toExponential(2);
    return String(+v.toPrecision(6));
  }
  function ticks(lo, hi, n) {
    var span = hi - lo;
    if (!(span > 0)) return [lo];
    var step = Math.pow(10, Math.floor(Math.log10(span / n)));
    var err = span / n / step;
    step *= err >= 7.5 ? 10 : err >= 3.5 ? 5 : err >= 1.5 ? 2 : 1;
    var out = [];
    for (var v = Math.ceil(lo / step) * step; v <= hi + step * 1e-9; v += step) out.push(Math.abs(v) < step * 1e-9 ? 0 : v);
    return out;
  }
  function heatColor(f) {
    // white through blue to dark purple
    var stops = [[247, 251, 255], [158, 202, 225], [49, 130, 189], [8, 69, 148], [63, 0, 125]];
    var p = Math.max(0, Math.min(1, f)) * (stops.length - 1), i = Math.min(stops.length - 2, Math.floor(p)), u = p - i;
    var c = stops[i], d = stops[i + 1];
    return "rgb(" + Math.round(c[0] + (d[0] - c[0]) * u) + "," + Math.round(c[1] + (d[1] - c[1]) * u) + "," +
      Math.round(c[2] + (d[2] - c[2]) * u) + ")";
  }

  function Figure(el, spec) {
    this.el = el; this.spec = spec;
    this.hidden = spec.series.map(function () { return false; });
    this.canvas = document.createElement("canvas");
    el.appendChild(this.canvas);
    this.tip = document.createElement("div"); this.tip.className = "tip"; el.appendChild(this.tip);
    this.sel = document.createElement("div"); this.sel.className = "sel"; el.appendChild(this.sel);
    if (spec.series.length > 1) this.legend();
    this.full = this.extent();
    this.view = null;
    this.events();
  }
  Figure.prototype.legend = function () {
    var self = this, box = document.createElement("div");
    box.className = "legend";
    this.spec.series.forEach(function (s, i) {
      var item = document.createElement("span");
      item.innerHTML = '<i style="background:' + self.color(i) + '"></i>';
      item.appendChild(document.createTextNode(s.name));
      item.title = "click to hide or show";
      item.addEventListener("click", function () {
        self.hidden[i] = !self.hidden[i]; item.classList.toggle("off", self.hidden[i]); self.draw();
      });
      box.appendChild(item);
    });
    this.el.appendChild(box);
  };
  Figure.prototype.color = function (k) {
    var c = this.spec.colors ? this.spec.colors[k] : k;
    return COLORS[c % COLORS.length];
  };
  Figure.prototype.extent = function () {
    var s = this.spec, x0 = Infinity, x1 = -Infinity, y0 = 0, y1 = -Infinity;
    if (s.type === "heat") {
      var h = s.heat;
      return { x0: h.x[0], x1: h.x[h.x.length - 1], y0: h.y[0], y1: h.y[h.y.length - 1] };
    }
    s.series.forEach(function (ser) {
      for (var i = 0; i < ser.x.length; i++) {
        var x = ser.x[i], y = ser.y[i];
        if (x !== null) { x0 = Math.min(x0, x); x1 = Math.max(x1, x); }
        if (y !== null && i < ser.y.length) { y0 = Math.min(y0, y); y1 = Math.max(y1, y); }
      }
      if (s.type === "hist" && ser.x.length) { x0 = Math.min(x0, ser.x[0]); x1 = Math.max(x1, ser.x[ser.x.length - 1]); }
    });
    (s.hlines || []).forEach(function (h) { if (h.y !== null) { y1 = Math.max(y1, h.y); y0 = Math.min(y0, h.y); } });
    if (s.fit) {  // the data's own range, not from zero: a control chart's values sit far from it
      var lo = Infinity;
      s.series.forEach(function (ser) { ser.y.forEach(function (y) { if (y !== null) lo = Math.min(lo, y); }); });
      (s.hlines || []).forEach(function (h) { if (h.y !== null) lo = Math.min(lo, h.y); });
      if (isFinite(lo)) { y0 = lo - (y1 - lo) * 0.06; }
    }
    if (!isFinite(x0)) { x0 = 0; x1 = 1; }
    if (!isFinite(y1) || y1 <= y0) y1 = y0 + 1;
    if (s.type === "bars") { x0 -= 0.6; x1 += 0.6; }
    else if (x1 === x0) { x0 -= 0.5; x1 += 0.5; }
    return { x0: x0, x1: x1, y0: y0, y1: y1 + (y1 - y0) * 0.06 };
  };
  Figure.prototype.measure = function () {
    this.cw = this.canvas.clientWidth || 400; this.ch = this.canvas.clientHeight || 250;
  };
  Figure.prototype.size = function () {
    var dpr = window.devicePixelRatio || 1, c = this.canvas;
    var w = this.cw, h = this.ch;
    if (c.width !== Math.round(w * dpr) || c.height !== Math.round(h * dpr)) {
      c.width = Math.round(w * dpr); c.height = Math.round(h * dpr);
    }
    this.w = w; this.h = h; this.dpr = dpr;
  };
  Figure.prototype.px = function (x) { var v = this.v; return this.padL + (x - v.x0) / (v.x1 - v.x0) * (this.w - this.padL - PAD.r); };
  Figure.prototype.py = function (y) { var v = this.v; return this.h - PAD.b - (y - v.y0) / (v.y1 - v.y0) * (this.h - PAD.t - PAD.b); };
  Figure.prototype.ix = function (px) { var v = this.v; return v.x0 + (px - this.padL) / (this.w - this.padL - PAD.r) * (v.x1 - v.x0); };
  Figure.prototype.iy = function (py) { var v = this.v; return v.y0 + (this.h - PAD.b - py) / (this.h - PAD.t - PAD.b) * (v.y1 - v.y0); };

  Figure.prototype.draw = function () {
    this.size();
    var s = this.spec, g = this.canvas.getContext("2d"), self = this, marks = 0;
    this.v = this.view || this.full;
    g.setTransform(this.dpr, 0, 0, this.dpr, 0, 0);
    g.clearRect(0, 0, this.w, this.h);
    g.font = "11px system-ui,sans-serif"; g.lineWidth = 1;
    // The y tick labels are measured first: the plot starts right of the widest, and the
    // axis title right of nothing, so that neither covers the other.
    var yt = ticks(this.v.y0, this.v.y1, 5), widest = 0;
    yt.forEach(function (t) { widest = Math.max(widest, g.measureText(fmt(t)).width); });
    this.padL = Math.max(PAD.l, Math.ceil(widest) + 6 + TITLE_W);
    var L = this.padL;
    g.strokeStyle = "#e8ebf1"; g.fillStyle = "#4a5568"; g.textAlign = "center"; g.textBaseline = "top";
    var xt = s.ticks ? s.ticks.filter(function (t) { return t[0] >= self.v.x0 && t[0] <= self.v.x1; })
      : ticks(this.v.x0, this.v.x1, Math.max(2, Math.floor((this.w - L) / 90))).map(function (t) { return [t, fmt(t)]; });
    xt.forEach(function (t) {
      var x = self.px(t[0]);
      g.beginPath(); g.moveTo(x, PAD.t); g.lineTo(x, self.h - PAD.b); g.stroke();
      g.fillText(t[1], x, self.h - PAD.b + 3);
    });
    g.textAlign = "right"; g.textBaseline = "middle";
    yt.forEach(function (t) {
      var y = self.py(t);
      g.beginPath(); g.moveTo(L, y); g.lineTo(self.w - PAD.r, y); g.stroke();
      g.fillText(fmt(t), L - 4, y);
    });
    g.textAlign = "center"; g.textBaseline = "bottom";
    g.fillText(s.x, L + (this.w - L - PAD.r) / 2, this.h - 1);
    g.save(); g.translate(TITLE_W / 2, PAD.t + (this.h - PAD.t - PAD.b) / 2); g.rotate(-Math.PI / 2);
    g.textBaseline = "middle"; g.fillText(s.y, 0, 0); g.restore();
    g.strokeStyle = "#9aa3b2"; g.strokeRect(L, PAD.t, this.w - L - PAD.r, this.h - PAD.t - PAD.b);

    g.save();
    g.beginPath(); g.rect(L, PAD.t, this.w - L - PAD.r, this.h - PAD.t - PAD.b); g.clip();
    if (s.type === "heat") {
      var hm = s.heat, top = 0;
      hm.z.forEach(function (row) { row.forEach(function (z) { top = Math.max(top, z); }); });
      for (var j = 0; j < hm.z.length; j++) for (var i = 0; i < hm.z[j].length; i++) {
        var z = hm.z[j][i];
        if (!z) continue;
        var xa = this.px(hm.x[i]), xb = this.px(hm.x[i + 1]), ya = this.py(hm.y[j]), yb = this.py(hm.y[j + 1]);
        g.fillStyle = heatColor(0.15 + 0.85 * z / top);
        g.fillRect(xa, yb, xb - xa + 0.5, ya - yb + 0.5); marks += 1;
      }
    } else {
      s.series.forEach(function (ser, k) {
        if (self.hidden[k]) return;
        var color = self.color(k), n = ser.y.length, i;
        g.strokeStyle = color; g.fillStyle = color; g.lineWidth = 1.4;
        if (s.type === "line") {
          g.beginPath();
          var pen = false, last = null;
          for (i = 0; i < n; i++) {
            if (ser.x[i] === null || ser.y[i] === null) { pen = false; continue; }
            var X = self.px(ser.x[i]), Y = self.py(ser.y[i]);
            if (!pen) g.moveTo(X, Y);
            else if (s.step) { g.lineTo(X, last); g.lineTo(X, Y); }
            else g.lineTo(X, Y);
            pen = true; last = Y; marks += 1;
          }
          g.stroke();
        } else if (s.type === "points") {
          for (i = 0; i < n; i++) {
            if (ser.x[i] === null || ser.y[i] === null) continue;
            g.fillRect(self.px(ser.x[i]) - 2, self.py(ser.y[i]) - 2, 4, 4); marks += 1;
          }
        } else if (s.type === "bars" || s.type === "hist") {
          g.globalAlpha = 0.8;
          for (i = 0; i < n; i++) {
            var a = s.type === "hist" ? ser.x[i] : ser.x[i] - 0.35, b = s.type === "hist" ? ser.x[i + 1] : ser.x[i] + 0.35;
            var xa2 = self.px(a), xb2 = self.px(b), y0 = self.py(0), y1 = self.py(ser.y[i]);
            g.fillRect(xa2 + 0.5, y1, Math.max(1, xb2 - xa2 - 1), y0 - y1);
            if (ser.y[i] > 0) marks += 1;
            if (s.type === "bars") { g.globalAlpha = 1; g.fillStyle = "#1d2330"; g.textAlign = "center"; g.textBaseline = "bottom";
              g.fillText(String(ser.y[i]), (xa2 + xb2) / 2, y1 - 1); g.fillStyle = color; g.globalAlpha = 0.8; }
          }
          g.globalAlpha = 1;
        }
      });
    }
    // Dashed reference lines, and their labels at the right: lines at the same height share one
    // label, and each label is moved down (or, at the bottom, up) until it overlaps no other.
    var lines = [];
    (s.hlines || []).filter(function (h) { return h.y !== null; }).forEach(function (h) {
      var y = self.py(h.y), color = h.series !== undefined ? self.color(h.series) : LINE_COLORS[h.kind] || "#c0392b";
      g.strokeStyle = color; g.setLineDash([5, 4]); g.lineWidth = 1.2;
      g.beginPath(); g.moveTo(L, y); g.lineTo(self.w - PAD.r, y); g.stroke(); g.setLineDash([]);
      var same = lines.filter(function (l) { return Math.abs(l.y - y) < 1; })[0];
      if (same) same.text += "; " + h.label; else lines.push({ y: y, text: h.label, color: color });
    });
    lines.sort(function (a, b) { return a.y - b.y; });
    var LH = 13, top = PAD.t, bottom = this.h - PAD.b;
    lines.forEach(function (l, i) {
      l.top = Math.max(l.y - LH, top, i ? lines[i - 1].top + LH : top);
    });
    for (var q = lines.length - 1; q >= 0; q--) {
      var limit = q === lines.length - 1 ? bottom - LH : lines[q + 1].top - LH;
      if (lines[q].top > limit) lines[q].top = Math.max(top, limit);
    }
    g.textAlign = "right"; g.textBaseline = "top";
    lines.forEach(function (l) {
      var wdt = g.measureText(l.text).width;
      g.fillStyle = "rgba(255,255,255,0.85)"; g.fillRect(self.w - PAD.r - 5 - wdt, l.top, wdt + 4, LH - 1);
      g.fillStyle = l.color; g.fillText(l.text, self.w - PAD.r - 3, l.top);
    });
    this.labelBoxes = lines.map(function (l) { return [l.top, l.top + LH]; });
    g.restore();
    this.el.dataset.points = String(marks);
    this.el.dataset.zoomed = this.view ? "1" : "0";
    return marks;
  };

  Figure.prototype.nearest = function (mx, my) {
    var s = this.spec, best = null, bd = 12 * 12, self = this;
    if (s.type === "heat") {
      var hm = s.heat, x = this.ix(mx), y = this.iy(my);
      for (var i = 0; i < hm.x.length - 1; i++) if (x >= hm.x[i] && x < hm.x[i + 1])
        for (var j = 0; j < hm.y.length - 1; j++) if (y >= hm.y[j] && y < hm.y[j + 1])
          return s.x + " " + fmt(hm.x[i]) + "–" + fmt(hm.x[i + 1]) + "\n" + s.y + " " + fmt(hm.y[j]) + "–" +
            fmt(hm.y[j + 1]) + "\nprecursors: " + hm.z[j][i];
      return null;
    }
    s.series.forEach(function (ser, k) {
      if (self.hidden[k]) return;
      for (var i = 0; i < ser.y.length; i++) {
        if (ser.y[i] === null) continue;
        var cx = s.type === "hist" ? (ser.x[i] + ser.x[i + 1]) / 2 : ser.x[i];
        if (cx === null) continue;
        var dx = self.px(cx) - mx, dy = (s.type === "bars" || s.type === "hist") ? 0 : self.py(ser.y[i]) - my;
        var d = dx * dx + dy * dy;
        if (d < bd) { bd = d; best = [ser, i]; }
      }
    });
    if (!best) return null;
    var ser = best[0], i = best[1];
    var xs = s.type === "hist" ? fmt(ser.x[i]) + "–" + fmt(ser.x[i + 1]) : (s.ticks ? String(ser.x[i]) : fmt(ser.x[i]));
    var text = (s.series.length > 1 ? ser.name + "\n" : "") + s.x + ": " + xs + "\n" + s.y + ": " + fmt(ser.y[i]);
    if (ser.extra) text += "\n" + ser.extraName + ": " + fmt(ser.extra[i]);
    if (ser.labels) text = ser.labels[i] + "\n" + text;
    return text;
  };
  Figure.prototype.events = function () {
    var self = this, c = this.canvas, start = null;
    function pos(e) { var r = c.getBoundingClientRect(); return [e.clientX - r.left, e.clientY - r.top]; }
    c.addEventListener("mousedown", function (e) { start = pos(e); e.preventDefault(); });
    c.addEventListener("mousemove", function (e) {
      var p = pos(e);
      if (start) {
        var st = self.sel.style;
        st.display = "block"; st.left = (c.offsetLeft + Math.min(p[0], start[0])) + "px";
        st.top = (c.offsetTop + Math.min(p[1], start[1])) + "px";
        st.width = Math.abs(p[0] - start[0]) + "px"; st.height = Math.abs(p[1] - start[1]) + "px";
        return;
      }
      var text = self.nearest(p[0], p[1]);
      if (text === null) { self.tip.style.display = "none"; return; }
      self.tip.textContent = text; self.tip.style.display = "block";
      var left = c.offsetLeft + p[0] + 12;
      if (left + self.tip.offsetWidth > self.el.clientWidth) left = c.offsetLeft + p[0] - self.tip.offsetWidth - 12;
      self.tip.style.left = left + "px"; self.tip.style.top = (c.offsetTop + p[1] + 12) + "px";
    });
    c.addEventListener("mouseleave", function () { self.tip.style.display = "none"; });
    window.addEventListener("mouseup", function (e) {
      if (!start) return;
      var p = pos(e), a = start; start = null; self.sel.style.display = "none";
      if (Math.abs(p[0] - a[0]) < 5) return;
      var x0 = self.ix(Math.min(a[0], p[0])), x1 = self.ix(Math.max(a[0], p[0]));
      var y0 = self.v.y0, y1 = self.v.y1;
      if (Math.abs(p[1] - a[1]) >= 5) { y0 = self.iy(Math.max(a[1], p[1])); y1 = self.iy(Math.min(a[1], p[1])); }
      // never below zero for counts and intensities
      if (self.spec.type !== "heat") y0 = Math.max(y0, Math.min(0, self.full.y0));
      self.view = { x0: x0, x1: x1, y0: y0, y1: y1 }; self.draw();
    });
    c.addEventListener("dblclick", function () { self.view = null; self.draw(); });
  };

  // Build every figure, then measure them all, then draw: one layout for the page.
  var figures = [], drawn = 0;
  var nodes = document.querySelectorAll("[data-fig]");
  for (var i = 0; i < nodes.length; i++) figures.push(new Figure(nodes[i], specs[+nodes[i].dataset.fig]));
  figures.forEach(function (f) { f.measure(); });
  figures.forEach(function (f) { if (f.draw() > 0) drawn += 1; });
  var timer = null;
  window.addEventListener("resize", function () {
    clearTimeout(timer);
    timer = setTimeout(function () {
      figures.forEach(function (f) { f.measure(); });
      figures.forEach(function (f) { f.draw(); });
    }, 120);
  });
  body.dataset.figures = String(nodes.length);
  body.dataset.drawn = String(drawn);
  body.dataset.errors = String(errors);
  body.dataset.renderMs = String(Math.round(performance.now() - t0));  // drawing only
  body.dataset.readyMs = String(Math.round(performance.now()));  // since the page was asked for
})();
