{ Tarn.Inventory.Model: the persistent objects of the stock keeping tool.

  Every entity maps onto one table; attributes name the table and the
  columns, and validation rules are marked on the methods that check them. }
unit Tarn.Inventory.Model;

interface

uses
  System.Classes,
  System.SysUtils,
  Tarn.Collections,
  Tarn.Persistence.Attributes;

type
  TEntityState = (esNew, esClean, esDirty, esDeleted);
  TStockLevel = 0..999999;

  TEntity = class;

  TEntityEvent = procedure(Sender: TEntity) of object;
  TPropertyChangeEvent = procedure(Sender: TEntity; const PropertyName: string;
    const OldValue, NewValue: Variant) of object;
  TValidateEvent = reference to procedure(Sender: TEntity; var Accept: Boolean);

  { Base of all stored objects. }
  [Abstract]
  TEntity = class abstract(TPersistent)
  strict private
    FState: TEntityState;
    FUpdateCount: Integer;
  private
    [Column('id'), PrimaryKey, AutoIncrement]
    FId: Int64;
    [Column('created_at')]
    FCreatedAt: TDateTime;
    FOnChange: TPropertyChangeEvent;
    FOnDeleted: TEntityEvent;
    procedure SetState(const Value: TEntityState);
  protected
    procedure Changed(const PropertyName: string; const OldValue, NewValue: Variant); virtual;
    function GetDisplayName: string; virtual; abstract;
    procedure AssignTo(Dest: TPersistent); override;
  public
    constructor Create; virtual;
    destructor Destroy; override;
    procedure BeginUpdate;
    procedure EndUpdate;
    [Validate]
    function IsValid: Boolean; virtual;
    procedure MarkDeleted;
    property Id: Int64 read FId;
    property State: TEntityState read FState write SetState;
    property DisplayName: string read GetDisplayName;
    property OnChange: TPropertyChangeEvent read FOnChange write FOnChange;
    property OnDeleted: TEntityEvent read FOnDeleted write FOnDeleted;
  end;

  TEntityClass = class of TEntity;

  [Table('suppliers')]
  TSupplier = class(TEntity)
  private
    [Column('name'), Required, MaxLength(80)]
    FName: string;
    [Column('email'), MaxLength(120)]
    FEmail: string;
    FPhone, FFax: string;
    procedure SetName(const Value: string);
  protected
    function GetDisplayName: string; override;
  published
    property Name: string read FName write SetName;
    property Email: string read FEmail write FEmail;
    property Phone: string read FPhone write FPhone stored False;
    property Fax: string read FFax write FFax stored False;
  end;

  [Table('products'), Cached(300)]
  TProduct = class(TEntity)
  private
    [Column('code'), Required, MaxLength(20)]
    FCode: string;
    [Column('title')]
    FTitle: string;
    [Column('price'), Precision(12, 2)]
    FPrice: Currency;
    [Column('stock')]
    FStock: TStockLevel;
    [Column('reorder_level')]
    FReorderLevel: TStockLevel;
    [Weak]
    FSupplier: TSupplier;
    FTags: TStrings;
    FOnLowStock: TEntityEvent;
    procedure SetPrice(const Value: Currency);
    procedure SetStock(const Value: TStockLevel);
    function GetTag(Index: Integer): string;
    function GetTagCount: Integer;
  protected
    function GetDisplayName: string; override;
  public
    constructor Create; override;
    destructor Destroy; override;
    [Validate('price must not be negative')]
    function PriceIsValid: Boolean;
    [Validate, Deprecated]
    function CodeIsValid: Boolean; deprecated 'use IsValid';
    function IsValid: Boolean; override;
    procedure AddTag(const Tag: string);
    function NeedsReorder: Boolean; inline;
    property Tags[Index: Integer]: string read GetTag; default;
    property TagCount: Integer read GetTagCount;
  published
    property Code: string read FCode write FCode;
    property Title: string read FTitle write FTitle;
    property Price: Currency read FPrice write SetPrice;
    property Stock: TStockLevel read FStock write SetStock default 0;
    property ReorderLevel: TStockLevel read FReorderLevel write FReorderLevel default 5;
    property Supplier: TSupplier read FSupplier write FSupplier;
    property OnLowStock: TEntityEvent read FOnLowStock write FOnLowStock;
  end;

  TProductList = class(TTarnObjectList<TProduct>)
  public
    function FindByCode(const Code: string): TProduct;
    function TotalValue: Currency;
    procedure SortByTitle;
  end;

  TStockChange = record
    Product: TProduct;
    OldStock, NewStock: TStockLevel;
    When: TDateTime;
    class function Create(AProduct: TProduct; AOld, ANew: TStockLevel): TStockChange; static;
    function Delta: Integer;
  end;

  TInventory = class(TComponent)
  private
    class var FDefault: TInventory;
    class var FInstanceCount: Integer;
  private
    FProducts: TProductList;
    FSuppliers: TTarnObjectList<TSupplier>;
    FHistory: TTarnList<TStockChange>;
    FOnChange: TNotifyEvent;
    FOnValidate: TValidateEvent;
    function GetProduct(const Code: string): TProduct;
    procedure ProductChanged(Sender: TEntity; const PropertyName: string;
      const OldValue, NewValue: Variant);
  public
    class constructor CreateClass;
    class destructor DestroyClass;
    class function Default: TInventory;
    constructor Create(AOwner: TComponent); override;
    destructor Destroy; override;
    procedure Receive(const Code: string; Quantity: Integer);
    procedure Issue(const Code: string; Quantity: Integer);
    function ReorderList: TProductList;
    property Products[const Code: string]: TProduct read GetProduct; default;
    property History: TTarnList<TStockChange> read FHistory;
    class property InstanceCount: Integer read FInstanceCount;
  published
    property OnChange: TNotifyEvent read FOnChange write FOnChange;
    property OnValidate: TValidateEvent read FOnValidate write FOnValidate;
  end;

implementation

uses
  System.Variants;

{ TEntity }

constructor TEntity.Create;
begin
  inherited Create;
  FState := esNew;
  FCreatedAt := Now;
end;

destructor TEntity.Destroy;
begin
  if Assigned(FOnDeleted) and (FState = esDeleted) then
    FOnDeleted(Self);
  inherited Destroy;
end;

procedure TEntity.SetState(const Value: TEntityState);
begin
  if FState <> Value then
  begin
    Changed('State', Ord(FState), Ord(Value));
    FState := Value;
  end;
end;

procedure TEntity.Changed(const PropertyName: string; const OldValue, NewValue: Variant);
begin
  if FState = esClean then
    FState := esDirty;
  if (FUpdateCount = 0) and Assigned(FOnChange) then
    FOnChange(Self, PropertyName, OldValue, NewValue);
end;

procedure TEntity.AssignTo(Dest: TPersistent);
begin
  if Dest is TEntity then
    TEntity(Dest).FCreatedAt := FCreatedAt
  else
    inherited AssignTo(Dest);
end;

procedure TEntity.BeginUpdate;
begin
  Inc(FUpdateCount);
end;

procedure TEntity.EndUpdate;
begin
  Dec(FUpdateCount);
  if FUpdateCount = 0 then
    Changed('', Null, Null);
end;

function TEntity.IsValid: Boolean;
begin
  Result := FState <> esDeleted;
end;

procedure TEntity.MarkDeleted;
begin
  State := esDeleted;
end;

{ TSupplier }

procedure TSupplier.SetName(const Value: string);
begin
  if FName <> Value then
  begin
    Changed('Name', FName, Value);
    FName := Value;
  end;
end;

function TSupplier.GetDisplayName: string;
begin
  Result := FName;
end;

{ TProduct }

constructor TProduct.Create;
begin
  inherited Create;
  FTags := TStringList.Create;
  FReorderLevel := 5;
end;

destructor TProduct.Destroy;
begin
  FTags.Free;
  inherited;
end;

procedure TProduct.SetPrice(const Value: Currency);
begin
  if Value <> FPrice then
  begin
    Changed('Price', FPrice, Value);
    FPrice := Value;
  end;
end;

procedure TProduct.SetStock(const Value: TStockLevel);
var
  Old: TStockLevel;
begin
  Old := FStock;
  FStock := Value;
  Changed('Stock', Old, Value);
  if NeedsReorder and Assigned(FOnLowStock) then
    FOnLowStock(Self);
end;

function TProduct.GetTag(Index: Integer): string;
begin
  Result := FTags[Index];
end;

function TProduct.GetTagCount: Integer;
begin
  Result := FTags.Count;
end;

function TProduct.GetDisplayName: string;
begin
  Result := Format('%s (%s)', [FTitle, FCode]);
end;

function TProduct.PriceIsValid: Boolean;
begin
  Result := FPrice >= 0;
end;

function TProduct.CodeIsValid: Boolean;
begin
  Result := (FCode <> '') and (Length(FCode) <= 20);
end;

function TProduct.IsValid: Boolean;
begin
  Result := inherited IsValid and PriceIsValid and CodeIsValid;
end;

procedure TProduct.AddTag(const Tag: string);
begin
  if FTags.IndexOf(Tag) = -1 then
    FTags.Add(Tag);
end;

function TProduct.NeedsReorder: Boolean;
begin
  Result := FReorderLevel >= FStock;
end;

{ TProductList }

function TProductList.FindByCode(const Code: string): TProduct;
var
  I: Integer;
begin
  for I := 0 to Count - 1 do
    if SameText(Items[I].Code, Code) then
      Exit(Items[I]);
  Result := nil;
end;

function TProductList.TotalValue: Currency;
var
  Product: TProduct;
begin
  Result := 0;
  for Product in Self do
    Result := Result + Product.Price * Product.Stock;
end;

procedure TProductList.SortByTitle;

  function Before(A, B: TProduct): Boolean;
  begin
    Result := CompareText(A.Title, B.Title) = -1;
  end;

var
  I, J: Integer;
  Swap: TProduct;
begin
  for I := 1 to Count - 1 do
  begin
    J := I;
    while (J > 0) and Before(Items[J], Items[J - 1]) do
    begin
      Swap := Items[J];
      Items[J] := Items[J - 1];
      Items[J - 1] := Swap;
      Dec(J);
    end;
  end;
end;

{ TStockChange }

class function TStockChange.Create(AProduct: TProduct; AOld, ANew: TStockLevel): TStockChange;
begin
  Result.Product := AProduct;
  Result.OldStock := AOld;
  Result.NewStock := ANew;
  Result.When := Now;
end;

function TStockChange.Delta: Integer;
begin
  Result := Integer(NewStock) - Integer(OldStock);
end;

{ TInventory }

class constructor TInventory.CreateClass;
begin
  FInstanceCount := 0;
end;

class destructor TInventory.DestroyClass;
begin
  FreeAndNil(FDefault);
end;

class function TInventory.Default: TInventory;
begin
  if FDefault = nil then
    FDefault := TInventory.Create(nil);
  Result := FDefault;
end;

constructor TInventory.Create(AOwner: TComponent);
begin
  inherited Create(AOwner);
  FProducts := TProductList.Create(True);
  FSuppliers := TTarnObjectList<TSupplier>.Create(True);
  FHistory := TTarnList<TStockChange>.Create;
  Inc(FInstanceCount);
end;

destructor TInventory.Destroy;
begin
  FHistory.Free;
  FSuppliers.Free;
  FProducts.Free;
  Dec(FInstanceCount);
  inherited;
end;

function TInventory.GetProduct(const Code: string): TProduct;
begin
  Result := FProducts.FindByCode(Code);
  if Result = nil then
    raise EArgumentException.CreateFmt('Unknown product %s', [Code]);
end;

procedure TInventory.ProductChanged(Sender: TEntity; const PropertyName: string;
  const OldValue, NewValue: Variant);
begin
  if Assigned(FOnChange) then
    FOnChange(Self);
end;

procedure TInventory.Receive(const Code: string; Quantity: Integer);
var
  Product: TProduct;
  Accept: Boolean;
begin
  Product := Products[Code];
  Accept := True;
  if Assigned(FOnValidate) then
    FOnValidate(Product, Accept);
  if not Accept then
    Exit;
  FHistory.Add(TStockChange.Create(Product, Product.Stock, Product.Stock + Quantity));
  Product.Stock := Product.Stock + Quantity;
end;

procedure TInventory.Issue(const Code: string; Quantity: Integer);
var
  Product: TProduct;
begin
  Product := Products[Code];
  if Quantity > Product.Stock then
    raise EInvalidOpException.CreateFmt('Only %d of %s in stock', [Product.Stock, Code]);
  FHistory.Add(TStockChange.Create(Product, Product.Stock, Product.Stock - Quantity));
  Product.Stock := Product.Stock - Quantity;
end;

function TInventory.ReorderList: TProductList;
var
  Product: TProduct;
begin
  Result := TProductList.Create(False);
  try
    for Product in FProducts do
      if Product.NeedsReorder then
        Result.Add(Product);
  except
    Result.Free;
    raise;
  end;
end;

end.
