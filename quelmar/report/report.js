// The run report's interaction: a plate-map cell and the curves, peaks and
// points of its well light up together (hover, focus, or click to keep them);
// charts switch views; tables sort and download as CSV. Nothing is fetched.

// A table as the command's --out writes it (quelmar/writing/writers.py): a cell that a
// spreadsheet would run as a formula (it starts with = + - @, a tab or a carriage return and
// is not a number) is written after a ', which spreadsheets read as "text follows".
var FORMULA_START = /^[=+\-@\t\r]/;
var CSV_NUMBER = /^[-+]?((\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|inf)$/;

function spreadsheetCell(v) {
  return FORMULA_START.test(v) && !CSV_NUMBER.test(v) ? "'" + v : v;
}

function csvText(data) {
  function quote(v) { return /[",\r\n]/.test(v) ? '"' + v.replace(/"/g, '""') + '"' : v; }
  return [data.columns].concat(data.rows).map(function (r) {
    return r.map(function (v) { return quote(spreadsheetCell(v)); }).join(",");
  }).join("\r\n") + "\r\n";
}

(function () {
  "use strict";

  var tip = document.getElementById("tip");
  // What the tooltip shows of a cell's data-* attributes, in order.
  var FIELDS = [["sample", "sample"], ["type", "type"], ["target", "target"], ["run", "run"],
                ["quantity", "quantity"], ["ct-linear", "Ct linear"], ["ct-sigmoid", "Ct sigmoid"],
                ["cq", "file Cq"], ["efficiency", "efficiency"], ["tm", "main Tm \u00b0C"],
                ["peaks", "peaks \u00b0C"], ["flags", "flags"], ["excluded", "excluded"],
                ["problem", "not analysed"]];
  var SVG = "http://www.w3.org/2000/svg";
  var hovered = null;

  function scopeOf(el) { return el.closest("[data-scope]"); }

  // Every element of the same well in the element's plate section (cells, curves, peaks, points).
  function partners(el) {
    var scope = scopeOf(el);
    var well = el.getAttribute("data-well");
    return scope ? scope.querySelectorAll('[data-well="' + CSS.escape(well) + '"]') : [el];
  }

  function mark(el, name, on) {
    Array.prototype.forEach.call(partners(el), function (p) { p.classList.toggle(name, on); });
  }

  // The cells to describe: every cell of the element's well (Ct map, Tm map), the element's own first.
  function cellsOf(el) {
    var cells = Array.prototype.filter.call(partners(el), function (p) {
      return p !== el && p.classList.contains("cell");
    });
    return el.classList.contains("cell") ? [el].concat(cells) : cells;
  }

  function line(parent, label, value) {
    var div = document.createElement("div");
    if (label) {
      var b = document.createElement("span");
      b.textContent = label + ": ";
      div.appendChild(b);
    }
    div.appendChild(document.createTextNode(value));
    parent.appendChild(div);
  }

  function describe(el) {
    tip.textContent = "";
    var title = document.createElement("b");
    title.textContent = el.getAttribute("data-well");
    tip.appendChild(title);
    var seen = {};
    cellsOf(el).forEach(function (cell) {
      FIELDS.forEach(function (f) {
        var v = cell.getAttribute("data-" + f[0]);
        if (v !== null && v !== "" && !seen[f[0]]) {
          seen[f[0]] = true;
          line(tip, f[1], v);
        }
      });
    });
    if (!seen.flags) line(tip, "flags", "none");
  }

  function place(x, y) {
    tip.hidden = false;
    var w = tip.offsetWidth, h = tip.offsetHeight;
    var left = x + 14 + w > window.innerWidth ? x - w - 14 : x + 14;
    var top = y + 14 + h > window.innerHeight ? y - h - 10 : y + 14;
    tip.style.left = Math.max(4, left) + "px";
    tip.style.top = Math.max(4, top) + "px";
  }

  function enter(el, x, y) {
    if (hovered === el) return;
    leave();
    hovered = el;
    mark(el, "hl", true);
    var scope = scopeOf(el);
    if (scope) scope.classList.add("hot");
    describe(el);
    place(x, y);
  }

  function leave() {
    if (!hovered) return;
    mark(hovered, "hl", false);
    var scope = scopeOf(hovered);
    if (scope) scope.classList.remove("hot");
    hovered = null;
    tip.hidden = true;
  }

  function toggle(el) {
    var on = !el.classList.contains("sel");
    mark(el, "sel", on);
    var scope = scopeOf(el);
    if (scope) scope.classList.toggle("picked", scope.querySelector(".sel") !== null);
  }

  document.addEventListener("mouseover", function (e) {
    var el = e.target.closest && e.target.closest("[data-well]");
    if (el) enter(el, e.clientX, e.clientY);
    else if (hovered && hovered !== document.activeElement) leave();
  });
  document.addEventListener("mousemove", function (e) {
    if (hovered && !tip.hidden && hovered !== document.activeElement) place(e.clientX, e.clientY);
  });
  document.addEventListener("focusin", function (e) {
    var el = e.target.closest && e.target.closest(".cell[data-well]");
    if (!el) return;
    var box = el.getBoundingClientRect();
    enter(el, box.right, box.top);
  });
  document.addEventListener("focusout", function (e) {
    if (hovered === e.target) leave();
  });
  document.addEventListener("keydown", function (e) {
    var el = e.target.closest && e.target.closest(".cell[data-well]");
    if (el && (e.key === "Enter" || e.key === " ")) {
      e.preventDefault();
      toggle(el);
    } else if (e.key === "Escape") {
      leave();
    }
  });
  document.addEventListener("click", function (e) {
    var button = e.target.closest("button[data-show]");
    if (button) return show(button);
    var el = e.target.closest("[data-well]");
    if (el) toggle(el);
  });

  // A chart's views (linear or log axis; melt range or all readings).
  function show(button) {
    var figure = button.closest("figure");
    var name = button.getAttribute("data-show");
    Array.prototype.forEach.call(figure.querySelectorAll(".view"), function (v) {
      v.classList.toggle("off", v.getAttribute("data-view") !== name);
    });
    Array.prototype.forEach.call(figure.querySelectorAll("button[data-show]"), function (b) {
      b.setAttribute("aria-pressed", String(b === button));
    });
  }

  // -- curves --------------------------------------------------------------------------------
  // Each chart's curves are data (quelmar/report/curves.py): whole steps, each the difference from
  // the one before, drawn here into every view that shows them.

  function steps(d, q) {
    var out = new Array(d.length), v = 0;
    for (var i = 0; i < d.length; i++) { v += d[i]; out[i] = v * q; }
    return out;
  }

  function mapper(view) {
    var x = view.x, y = view.y, span = y[1] - y[0];
    return {
      x: function (v) { return x[2] + (v - x[0]) / (x[1] - x[0]) * (x[3] - x[2]); },
      y: function (v) {
        if (view.log) v = Math.log(Math.max(v, view.floor)) / Math.LN10;
        v = Math.min(Math.max(v, y[0] - span), y[1] + span);
        return y[3] - (v - y[0]) / span * (y[3] - y[2]);
      }
    };
  }

  function pathData(map, xs, ys) {
    var parts = [];
    for (var i = 0; i < xs.length; i++) {
      parts.push((i ? "L" : "M") + map.x(xs[i]).toFixed(1) + " " + map.y(ys[i]).toFixed(1));
    }
    return parts.join("");
  }

  function stroke(group, cls, d, colour, well) {
    var p = document.createElementNS(SVG, "path");
    p.setAttribute("class", cls);
    p.setAttribute("d", d);
    p.setAttribute("stroke", colour);
    p.setAttribute("data-well", well);
    group.appendChild(p);
  }

  function gaussians(xs, peaks) {
    return xs.map(function (x) {
      return peaks.reduce(function (sum, p) { var z = (x - p[0]) / p[2]; return sum + p[1] * Math.exp(-0.5 * z * z); }, 0);
    });
  }

  function draw(picture) {
    var data = JSON.parse(document.getElementById(picture.getAttribute("data-curves")).textContent);
    Object.keys(data.views).forEach(function (name) {
      var view = data.views[name], set = data.sets[view.set], map = mapper(view);
      var group = picture.querySelector('.view[data-view="' + name + '"] g.curves');
      var shared = set.x ? steps(set.x, set.q[0]) : null;
      var fits = data.fits && data.fits.set === view.set ? data.fits.peaks : {};
      set.series.forEach(function (s) {
        var xs = s[4] ? steps(s[4], set.q[0]) : shared, ys = steps(s[3], set.q[1]);
        stroke(group, s[2] ? "curve flagged" : "curve", pathData(map, xs, ys), s[1], s[0]);
        if (fits[s[0]]) stroke(group, "fit", pathData(map, xs, gaussians(xs, fits[s[0]])), s[1], s[0]);
      });
    });
  }

  Array.prototype.forEach.call(document.querySelectorAll("svg[data-curves]"), draw);

  // -- tables --------------------------------------------------------------------------------
  var NUMBER = /^-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;

  // A number as the table shows it: the column's decimals or significant digits, else six digits.
  function shown(v, digits) {
    if (!NUMBER.test(v) || v.indexOf(".") < 0 && !digits) return v;
    var n = Number(v);
    if (digits && digits[0] === "fixed") return n.toFixed(digits[1]);
    if (digits) return String(Number(n.toPrecision(digits[1])));
    return String(Number(n.toPrecision(6)));
  }

  function compare(a, b) {
    if (a === b) return 0;
    if (a === "") return 1;  // empty cells last either way
    if (b === "") return -1;
    if (NUMBER.test(a) && NUMBER.test(b)) return Number(a) - Number(b);
    return a.localeCompare(b, undefined, { numeric: true });
  }

  function download(name, text) {
    var url = URL.createObjectURL(new Blob([text], { type: "text/csv;charset=utf-8" }));
    var a = document.createElement("a");
    a.href = url;
    a.download = name;
    document.body.appendChild(a);
    a.click();
    a.remove();
    setTimeout(function () { URL.revokeObjectURL(url); }, 1000);
  }

  function build(box) {
    var data = JSON.parse(document.getElementById(box.getAttribute("data-source")).textContent);
    var numeric = data.columns.map(function (_, k) {
      return data.rows.some(function (r) { return r[k] !== ""; }) &&
             data.rows.every(function (r) { return r[k] === "" || NUMBER.test(r[k]); });
    });
    var button = document.createElement("button");
    button.type = "button";
    button.className = "csv";
    button.textContent = "CSV";
    button.title = "download this table as " + box.getAttribute("data-file");
    button.addEventListener("click", function () { download(box.getAttribute("data-file"), csvText(data)); });
    box.appendChild(button);
    var scroll = document.createElement("div");
    scroll.className = "scroll";
    var table = document.createElement("table");
    var head = table.createTHead().insertRow();
    var body = table.createTBody();
    var order = { column: -1, direction: 1 };
    data.columns.forEach(function (name, k) {
      var th = document.createElement("th");
      var b = document.createElement("button");
      b.type = "button";
      b.textContent = name;
      b.addEventListener("click", function () {
        order.direction = order.column === k ? -order.direction : 1;
        order.column = k;
        Array.prototype.forEach.call(head.cells, function (c) { c.removeAttribute("aria-sort"); });
        th.setAttribute("aria-sort", order.direction > 0 ? "ascending" : "descending");
        fill();
      });
      th.appendChild(b);
      head.appendChild(th);
    });
    function fill() {
      var rows = data.rows.slice();
      if (order.column >= 0) {
        var k = order.column;
        rows.sort(function (a, b) {
          var c = compare(a[k], b[k]);
          return a[k] === "" || b[k] === "" ? c : c * order.direction;
        });
      }
      body.textContent = "";
      rows.forEach(function (r) {
        var tr = body.insertRow();
        r.forEach(function (v, k) {
          var td = tr.insertCell();
          td.textContent = shown(v, (data.digits || {})[data.columns[k]]);
          if (numeric[k]) td.className = "num";
          if (td.textContent !== v) td.title = v;
        });
      });
    }
    fill();
    scroll.appendChild(table);
    box.appendChild(scroll);
  }

  Array.prototype.forEach.call(document.querySelectorAll("div.table[data-source]"), build);
})();
